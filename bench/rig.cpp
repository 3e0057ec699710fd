// The relays of the benchmark and the rig that runs one of them between a
// target and a sink.

#include "bench.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

using Clock = std::chrono::steady_clock;

const route_t ROUTES[5] = {
    {"plain", "plain PULL->PUB", "", false, "publisher", true},
    {"gateway", "#win PULL->gateway", "#win ", false, "gatewaypublisher", true},
    {"udp", "plain UDP->PUB", "", true, "publisher", true},
    {"backyard", "#jwin ->backyard PUSH", "#jwin ", false, "message_processor_backyard", false},
    {"record", "#oldmp ->processor PUSH", "#oldmp ", false, "message_processor", false},
};

const char *const RELAY_NAMES[RELAY_KINDS] = {"ceiling",  "daemon", "library", "drained",
                                              "baseline", "curve",  "loop"};

const route_t *find_route(const std::string &name)
{
    for (const route_t &route : ROUTES)
        if (name == route.name)
            return &route;
    return nullptr;
}

namespace
{

int free_port(int type)
{
    int fd = socket(AF_INET, type, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd != -1 && bind(fd, reinterpret_cast<struct sockaddr *>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd != -1)
        close(fd);
    return port;
}

std::string tcp(int port)
{
    return "tcp://127.0.0.1:" + std::to_string(port);
}

// Makes the certificates of a relay with CURVE in its directory: the
// daemon's, private, and a client's among the admitted ones, which the
// target and the sink use; the configuration's curve section for them.
std::string make_curve(relay_t *relay)
{
    std::string clients = relay->dir + "/clients", daemon = relay->dir + "/daemon";
    zsys_dir_create(clients.c_str());
    zcert_t *daemon_cert = zcert_new(), *client_cert = zcert_new();
    zcert_save(daemon_cert, daemon.c_str());
    zcert_save(client_cert, (clients + "/client").c_str());
    relay->curve.certificate = client_cert;
    relay->curve.server = daemon_cert;
    return "curve\n    certificate = \"" + daemon + "_secret\"\n    clients = \"" + clients +
           "\"\n";
}

bool write_config(relay_t *relay, bool curve, const std::string &extra)
{
    relay->inbound_port = free_port(SOCK_STREAM);
    relay->publisher_port = free_port(SOCK_STREAM);
    relay->gateway_port = free_port(SOCK_STREAM);
    relay->udp_port = free_port(SOCK_DGRAM);
    relay->processor_port = free_port(SOCK_STREAM);
    relay->backyard_port = free_port(SOCK_STREAM);
    std::ofstream config(relay->dir + "/relay.cfg");
    config << "pidfile = \"" << relay->dir << "/relay.pid\"\n"
           << "subscriber = \"" << tcp(relay->inbound_port) << "\"\n"
           << "publisher = \"" << tcp(relay->publisher_port) << "\"\n"
           << "gatewaypublisher = \"" << tcp(relay->gateway_port) << "\"\n"
           << "udpport = \"" << relay->udp_port << "\"\n"
           << "message_processor = \">" << tcp(relay->processor_port) << "\"\n"
           << "message_processor_backyard = \">" << tcp(relay->backyard_port) << "\"\n"
           << "buffer_size = \"2048\"\n"
           << (curve ? make_curve(relay) : "");
    // @DIR@ in the extra lines names the relay's own directory.
    std::string lines = extra;
    for (size_t at; (at = lines.find("@DIR@")) != std::string::npos;)
        lines.replace(at, 5, relay->dir);
    config << lines;
    return config.good();
}

// Starts the relay with extra_env added to its environment, and passed_fd,
// where it is not -1, as a service manager's socket (descriptor 3,
// LISTEN_FDS=1); waits until it has written its pid file.
bool start_relay(relay_t *relay, std::vector<std::string> command,
                 const std::vector<std::string> &extra_env, int timeout_ms, int passed_fd)
{
    if (passed_fd != -1)
        command.insert(command.begin(),
                       {"sh", "-c", "export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$@\"", "sh"});
    std::vector<char *> argv, envp;
    for (const std::string &arg : command)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    for (const std::string &entry : extra_env)
        envp.push_back(const_cast<char *>(entry.c_str()));
    for (char **entry = environ; *entry; entry++)
        envp.push_back(*entry);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string output = relay->dir + "/relay.out";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (passed_fd != -1)
        posix_spawn_file_actions_adddup2(&actions, passed_fd, 3);
    int rc = posix_spawnp(&relay->pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        relay->pid = -1;
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (read_file(relay->dir + "/relay.pid") != std::to_string(relay->pid)) {
        int status;
        if (Clock::now() > deadline || waitpid(relay->pid, &status, WNOHANG) == relay->pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The socket of the route's input, bound to the relay's port as a service
// manager binds it; -1 where it cannot be made.
int hold_input_socket(const relay_t &relay, const route_t &route)
{
    int fd = socket(AF_INET, (route.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(route.udp ? INADDR_ANY : INADDR_LOOPBACK);
    address.sin_port =
        htons(static_cast<uint16_t>(route.udp ? relay.udp_port : relay.inbound_port));
    // A buffer large enough for a restart at the highest rate, as the socket
    // unit sets it; a listening port taken again at once.
    int buffer = 32 << 20, on = 1;
    if (route.udp)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    else
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        (!route.udp && listen(fd, 64) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string target_address(const relay_t &relay, const route_t &route)
{
    if (route.udp)
        return "udp://127.0.0.1:" + std::to_string(relay.udp_port);
    return tcp(relay.inbound_port);
}

} // namespace

std::string read_file(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

long rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Datagrams the kernel dropped for a full receive buffer, all UDP sockets
// of the host together.
uint64_t udp_receive_buffer_drops()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values, line;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp:", 0) != 0)
            continue;
        if (header.empty())
            header = line;
        else
            values = line;
    }
    std::istringstream names(header), numbers(values);
    std::string name, number;
    while (names >> name && numbers >> number)
        if (name == "RcvbufErrors")
            return std::stoull(number);
    return 0;
}

double percentile(std::vector<int64_t> values, double fraction)
{
    if (values.empty())
        return 0;
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return static_cast<double>(values[index]);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::vector<std::string> relay_command(const options_t &options, relay_kind kind,
                                       const route_t &route, const std::string &config)
{
    if (kind == DAEMON || kind == CURVED)
        return {options.bin_dir + "/vostrelld", "-c", config};
    if (kind == BASELINE)
        return {options.baseline, "-c", config};
    if (kind == LOOP)
        return {options.bin_dir + "/vostrelld-loop", "-c", config};
    if (kind == CEILING || kind == DRAINED) {
        std::string mode = route.udp ? "plain" : route.name;
        std::vector<std::string> command = {options.bin_dir + "/vostrelld-ceiling", "-c", config,
                                            "-r", mode};
        if (kind == DRAINED)
            command.push_back("-d");
        return command;
    }
    return {options.bin_dir + "/vostrelld-proxy",
            "-c",
            config,
            "-o",
            route.output_key,
            "-i",
            route.udp ? "udp" : "pull"};
}

// Stops the relay with SIGTERM, or SIGKILL when it is still there after
// timeout_ms. True when it ended by itself with status 0. The ceiling has no
// wake-up of its own, so a SIGTERM that lands between its loop's check and
// its wait goes unnoticed: the signal is repeated until the relay is gone.
bool stop_relay(relay_t *relay, int timeout_ms)
{
    if (relay->pid == -1)
        return true;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto next_signal = Clock::now();
    int status = 0;
    while (waitpid(relay->pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= next_signal) {
            kill(relay->pid, SIGTERM);
            next_signal += std::chrono::seconds(2);
        }
        if (Clock::now() > deadline) {
            kill(relay->pid, SIGKILL);
            waitpid(relay->pid, &status, 0);
            relay->pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    relay->pid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string sink_endpoint(const relay_t &relay, const route_t &route)
{
    std::string key = route.output_key;
    if (key == "publisher")
        return ">" + tcp(relay.publisher_port);
    if (key == "gatewaypublisher")
        return ">" + tcp(relay.gateway_port);
    return "@" + tcp(key == "message_processor" ? relay.processor_port : relay.backyard_port);
}

bool rig_t::open(const options_t &options, relay_kind kind, const route_t &route,
                 const std::vector<std::string> &wrapper, const std::vector<std::string> &extra_env,
                 int timeout_ms)
{
    std::string strip = kind == LIBRARY ? route.prefix : "";
    int hwm = options.sink_hwm;
    char dir_template[] = "/tmp/vostrelld-bench.XXXXXX";
    if (!mkdtemp(dir_template))
        return fail("mkdtemp failed");
    relay.dir = dir_template;
    bool curve = kind == CURVED;
    const std::string &extra = kind == DAEMON || kind == CURVED ? options.config
                               : kind == BASELINE               ? options.baseline_config
                                                                : "";
    if (!write_config(&relay, curve, extra))
        return fail("cannot write the configuration");
    // A processor's sink binds first, so the relay's push socket finds it.
    const peer_curve_t *keys = curve ? &relay.curve : nullptr;
    if (!route.published &&
        !load_sink_start(&sink, false, sink_endpoint(relay, route), hwm, strip, keys))
        return fail("sink cannot bind");
    command = wrapper;
    env = extra_env;
    for (const std::string &arg : relay_command(options, kind, route, relay.dir + "/relay.cfg"))
        command.push_back(arg);
    stop_timeout_ms = timeout_ms;
    if (hold_input && (held_fd = hold_input_socket(relay, route)) == -1)
        return fail("cannot hold the input's socket");
    if (!start_relay(&relay, command, extra_env, timeout_ms, held_fd))
        return fail("relay did not start: " + read_file(relay.dir + "/relay.out"));
    if (route.published &&
        !load_sink_start(&sink, true, sink_endpoint(relay, route), hwm, strip, keys))
        return fail("sink cannot connect");
    std::string why;
    if (!peer_target_open(&target, target_address(relay, route), timeout_ms, &why, keys))
        return fail(why);
    if (!load_probe(&target, route.prefix, &sink, timeout_ms))
        return fail("no probe came through");
    return true;
}

bool rig_t::restart(int timeout_ms)
{
    if (!stop_relay(&relay, timeout_ms))
        return fail("relay did not stop");
    if (!start_relay(&relay, command, env, timeout_ms, held_fd))
        return fail("relay did not start again: " + read_file(relay.dir + "/relay.out"));
    return true;
}

bool rig_t::fail(const std::string &why)
{
    error = why;
    return false;
}

rig_t::~rig_t()
{
    peer_target_close(&target);
    stop_relay(&relay, stop_timeout_ms);
    load_sink_stop(&sink);
    if (held_fd != -1)
        close(held_fd);
    peer_curve_free(&relay.curve);
    if (!relay.dir.empty())
        std::system(("rm -rf '" + relay.dir + "'").c_str());
}
