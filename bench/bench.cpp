// Puts the daemon beside its ceilings, route by route: the same texts, the
// same counts, runs that alternate between the relays, and one table of
// throughput, losses, latency and memory. With --callgrind it counts the
// instructions of the event loop's thread per relayed message instead; with
// --soak it watches the daemon's resident memory over a long run.

#include "load.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

using Clock = std::chrono::steady_clock;

struct route_t {
    const char *name;
    const char *label;
    const char *prefix;
    bool udp;               // texts go to the UDP port, else to the inbound endpoint
    const char *output_key; // configuration key of the output the route ends on
    bool published;         // output is a PUB socket, else a PUSH socket
};

const route_t ROUTES[] = {
    {"plain", "plain PULL->PUB", "", false, "publisher", true},
    {"gateway", "#win PULL->gateway", "#win ", false, "gatewaypublisher", true},
    {"udp", "plain UDP->PUB", "", true, "publisher", true},
    {"backyard", "#jwin ->backyard PUSH", "#jwin ", false, "message_processor_backyard", false},
    {"record", "#oldmp ->processor PUSH", "#oldmp ", false, "message_processor", false},
};

// DRAINED is the ceiling taking a batch per readiness, as the daemon does;
// BASELINE is another build of the daemon, for example the one before a
// change, run beside this one when --baseline names it.
enum relay_kind { CEILING, DAEMON, LIBRARY, DRAINED, BASELINE, RELAY_KINDS };
const char *const RELAY_NAMES[RELAY_KINDS] = {"ceiling", "daemon", "library", "drained",
                                              "baseline"};

struct options_t {
    std::string bin_dir;
    std::vector<std::string> routes{"plain", "gateway", "udp", "backyard", "record"};
    std::vector<size_t> sizes{64, 1024};
    int pairs = 3;
    uint64_t count = 100000;
    uint64_t latency_count = 2000;
    double latency_rate = 5000;
    bool library = true;
    int sink_hwm = 0;
    uint64_t udp_window = 256; // datagrams in flight at most; 0: a flood
    uint64_t callgrind = 0;    // messages per counted run; 0: no count
    bool backlog = false;      // counted runs hold the loop until a chunk is queued
    int repeat = 3;            // counted runs per relay, route and size
    std::string baseline;      // another daemon binary, run beside this one
    uint64_t soak = 0;         // messages of the long run; 0: none
    std::string keep_dir;      // where callgrind files stay
};

struct run_result_t {
    bool ok = false;
    std::string error;
    uint64_t sent = 0, delivered = 0, udp_drops = 0;
    double rate = 0;
    double p50_us = 0, p99_us = 0;
    long rss_start_kib = 0, rss_end_kib = 0;
};

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

// One relay process with its own configuration in a directory of its own.
struct relay_t {
    std::string dir;
    int inbound_port = 0, publisher_port = 0, gateway_port = 0, udp_port = 0;
    int processor_port = 0, backyard_port = 0;
    pid_t pid = -1;
};

bool write_config(relay_t *relay)
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
           << "buffer_size = \"2048\"\n";
    return config.good();
}

std::vector<std::string> relay_command(const options_t &options, relay_kind kind,
                                       const route_t &route, const std::string &config)
{
    if (kind == DAEMON)
        return {options.bin_dir + "/vostrelld", "-c", config};
    if (kind == BASELINE)
        return {options.baseline, "-c", config};
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

// Starts the relay with extra_env added to its environment and waits until
// it has written its pid file.
bool start_relay(relay_t *relay, const std::vector<std::string> &command,
                 const std::vector<std::string> &extra_env, int timeout_ms)
{
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

std::string target_address(const relay_t &relay, const route_t &route)
{
    if (route.udp)
        return "udp://127.0.0.1:" + std::to_string(relay.udp_port);
    return tcp(relay.inbound_port);
}

// A relay with a sink on the route's output and a target on its input,
// proven to deliver. Everything is released by the destructor.
struct rig_t {
    relay_t relay;
    load_sink_t sink;
    peer_target_t target;
    std::string error;
    int stop_timeout_ms = 5000;

    // Starts the relay of kind for route, its command behind wrapper (for
    // example valgrind) and extra_env in its environment, with everything
    // bounded by timeout_ms.
    bool open(const options_t &options, relay_kind kind, const route_t &route,
              const std::vector<std::string> &wrapper, const std::vector<std::string> &extra_env,
              int timeout_ms)
    {
        std::string strip = kind == LIBRARY ? route.prefix : "";
        int hwm = options.sink_hwm;
        char dir_template[] = "/tmp/vostrelld-bench.XXXXXX";
        if (!mkdtemp(dir_template))
            return fail("mkdtemp failed");
        relay.dir = dir_template;
        if (!write_config(&relay))
            return fail("cannot write the configuration");
        // A processor's sink binds first, so the relay's push socket finds it.
        if (!route.published &&
            !load_sink_start(&sink, false, sink_endpoint(relay, route), hwm, strip))
            return fail("sink cannot bind");
        std::vector<std::string> command = wrapper;
        for (const std::string &arg : relay_command(options, kind, route, relay.dir + "/relay.cfg"))
            command.push_back(arg);
        stop_timeout_ms = timeout_ms;
        if (!start_relay(&relay, command, extra_env, timeout_ms))
            return fail("relay did not start: " + read_file(relay.dir + "/relay.out"));
        if (route.published &&
            !load_sink_start(&sink, true, sink_endpoint(relay, route), hwm, strip))
            return fail("sink cannot connect");
        std::string why;
        if (!peer_target_open(&target, target_address(relay, route), timeout_ms, &why))
            return fail(why);
        if (!load_probe(&target, route.prefix, &sink, timeout_ms))
            return fail("no probe came through");
        return true;
    }
    bool fail(const std::string &why)
    {
        error = why;
        return false;
    }
    ~rig_t()
    {
        peer_target_close(&target);
        stop_relay(&relay, stop_timeout_ms);
        load_sink_stop(&sink);
        if (!relay.dir.empty())
            std::system(("rm -rf '" + relay.dir + "'").c_str());
    }
};

void measure_latency(rig_t *rig, const route_t &route, size_t size, const options_t &options,
                     run_result_t *result)
{
    uint64_t base = rig->sink.received;
    rig->sink.measuring = true;
    std::string text = load_make_text(route.prefix, size, 1);
    uint64_t sent =
        load_send_stamped(&rig->target, text, strlen(route.prefix), options.latency_count,
                          options.latency_rate, 0, &rig->sink, base, 5000);
    load_wait_delivered(&rig->sink, base, sent, 500);
    rig->sink.measuring = false;
    std::vector<int64_t> latencies = load_sink_take_latencies(&rig->sink);
    result->p50_us = percentile(latencies, 0.50);
    result->p99_us = percentile(latencies, 0.99);
}

void measure_throughput(rig_t *rig, const route_t &route, size_t size, const options_t &options,
                        run_result_t *result)
{
    std::vector<std::string> texts;
    for (int64_t stamp = 1; stamp <= 4; stamp++)
        texts.push_back(load_make_text(route.prefix, size, stamp));
    uint64_t drops_before = udp_receive_buffer_drops();
    uint64_t base = rig->sink.received;
    int64_t start = load_now_us();
    // The inbound endpoint holds the sender back once the relay's queue is
    // full; UDP does not, and a flood would measure how the kernel shares
    // the processors between sender and relay. So datagrams go out at most
    // a window ahead of delivery, a window small enough for the default
    // receive buffer.
    if (route.udp)
        result->sent =
            load_send_stamped(&rig->target, texts[0], strlen(route.prefix), options.count, 0,
                              options.udp_window, &rig->sink, base, 5000);
    else
        result->sent = peer_send_paced(&rig->target, texts, options.count, 0);
    result->delivered = load_wait_delivered(&rig->sink, base, result->sent, 500);
    int64_t elapsed = rig->sink.last_us - start;
    result->rate = elapsed > 0 ? static_cast<double>(result->delivered) * 1e6 / elapsed : 0;
    result->udp_drops = udp_receive_buffer_drops() - drops_before;
}

run_result_t run_once(const options_t &options, relay_kind kind, const route_t &route, size_t size)
{
    run_result_t result;
    rig_t rig;
    if (!rig.open(options, kind, route, {}, {}, 5000)) {
        result.error = rig.error;
        return result;
    }
    result.rss_start_kib = rss_kib(rig.relay.pid);
    if (options.latency_count > 0)
        measure_latency(&rig, route, size, options, &result);
    measure_throughput(&rig, route, size, options, &result);
    result.rss_end_kib = rss_kib(rig.relay.pid);
    result.ok = rig.sink.malformed == 0;
    if (!result.ok)
        result.error = std::to_string(rig.sink.malformed) + " malformed messages";
    return result;
}

const route_t *find_route(const std::string &name)
{
    for (const route_t &route : ROUTES)
        if (name == route.name)
            return &route;
    return nullptr;
}

// Where the messages that did not arrive were lost: a route can lose them
// only at the UDP receive buffer, at a publisher's high-water mark (the sink
// takes everything it is sent, so only the publisher's own queue fills) or
// at a push socket that refuses without waiting.
std::string losses(const std::vector<run_result_t> &runs, const route_t &route)
{
    uint64_t lost = 0, udp = 0;
    for (const run_result_t &run : runs) {
        lost += run.sent - std::min(run.sent, run.delivered);
        udp +=
            route.udp ? std::min(run.udp_drops, run.sent - std::min(run.sent, run.delivered)) : 0;
    }
    if (lost == 0)
        return "0";
    std::string text;
    if (udp > 0)
        text = std::to_string(udp) + " rcvbuf";
    if (lost > udp)
        text += (text.empty() ? "" : "+") + std::to_string(lost - udp) +
                (route.published ? " PUB hwm" : " push EAGAIN");
    return text;
}

struct cell_t {
    std::vector<run_result_t> runs;
    std::vector<double> rates() const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(run.rate);
        return values;
    }
    double median_of(double run_result_t::*field) const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(run.*field);
        return median(values);
    }
    long max_rss_end() const
    {
        long most = 0;
        for (const run_result_t &run : runs)
            most = std::max(most, run.rss_end_kib);
        return most;
    }
    long median_rss_start() const
    {
        std::vector<double> values;
        for (const run_result_t &run : runs)
            values.push_back(static_cast<double>(run.rss_start_kib));
        return static_cast<long>(median(values));
    }
};

void print_header(const options_t &options)
{
    printf("\n%llu messages per run, %d alternating pairs; latency: %llu messages at %.0f/s; "
           "medians of the pairs\n",
           static_cast<unsigned long long>(options.count), options.pairs,
           static_cast<unsigned long long>(options.latency_count), options.latency_rate);
    printf("%-24s %5s | %9s %9s %6s | %9s %6s | %9s %6s | %-22s %-22s | %-11s %-11s | %-24s",
           "route", "size", "ceiling/s", "daemon/s", "d/c", "drained/s", "d/dr", "library/s",
           "d/lib", "lost: ceiling", "lost: daemon", "p50/p99 c", "p50/p99 d",
           "daemon RSS KiB start/end");
    if (!options.baseline.empty())
        printf(" | %10s %6s %-11s", "baseline/s", "d/b", "p50/p99 b");
    printf("\n");
}

std::string latency_text(const cell_t &cell)
{
    char text[32];
    snprintf(text, sizeof text, "%.0f/%.0f", cell.median_of(&run_result_t::p50_us),
             cell.median_of(&run_result_t::p99_us));
    return text;
}

void print_row(const options_t &options, const route_t &route, size_t size,
               const cell_t cells[RELAY_KINDS])
{
    double ceiling = median(cells[CEILING].rates()), daemon = median(cells[DAEMON].rates());
    double library = median(cells[LIBRARY].rates()), drained = median(cells[DRAINED].rates());
    printf("%-24s %5zu | %9.0f %9.0f %5.1f%% | %9.0f %5.1f%% | %9.0f %5.1f%% | %-22s %-22s | %-11s "
           "%-11s | %ld/%ld",
           route.label, size, ceiling, daemon, ceiling > 0 ? 100 * daemon / ceiling : 0, drained,
           drained > 0 ? 100 * daemon / drained : 0, library,
           library > 0 ? 100 * daemon / library : 0, losses(cells[CEILING].runs, route).c_str(),
           losses(cells[DAEMON].runs, route).c_str(), latency_text(cells[CEILING]).c_str(),
           latency_text(cells[DAEMON]).c_str(), cells[DAEMON].median_rss_start(),
           cells[DAEMON].max_rss_end());
    if (!options.baseline.empty()) {
        double baseline = median(cells[BASELINE].rates());
        printf(" | %10.0f %5.1f%% %-11s", baseline, baseline > 0 ? 100 * daemon / baseline : 0,
               latency_text(cells[BASELINE]).c_str());
    }
    printf("\n");
    fflush(stdout);
}

// Runs ceiling and daemon in alternating order, pair after pair, with the
// library's forwarder beside them; every failed run is reported.
bool run_table(const options_t &options)
{
    print_header(options);
    bool all_ok = true;
    for (const std::string &name : options.routes) {
        const route_t &route = *find_route(name);
        for (size_t size : options.sizes) {
            cell_t cells[RELAY_KINDS];
            for (int pair = 0; pair < options.pairs && !zsys_interrupted; pair++) {
                std::vector<relay_kind> order = {CEILING, DAEMON, DRAINED};
                if (pair % 2)
                    std::swap(order[0], order[1]);
                if (options.library)
                    order.push_back(LIBRARY);
                if (!options.baseline.empty())
                    order.push_back(BASELINE);
                for (relay_kind kind : order) {
                    run_result_t result = run_once(options, kind, route, size);
                    if (!result.ok) {
                        fprintf(stderr, "%s %s %zu B: %s\n", RELAY_NAMES[kind], route.name, size,
                                result.error.c_str());
                        all_ok = false;
                    }
                    cells[kind].runs.push_back(result);
                }
            }
            print_row(options, route, size, cells);
        }
    }
    return all_ok;
}

// Instructions of the loop's thread in one run under callgrind that relays
// count texts; collection covers zloop_start, so start-up and the library's
// own threads are left out. -1 when the run failed.
int64_t count_instructions(const options_t &options, relay_kind kind, const route_t &route,
                           size_t size, uint64_t count, const std::string &file)
{
    rig_t rig;
    std::vector<std::string> valgrind = {"valgrind", "--tool=callgrind",
                                         "--toggle-collect=zloop_start",
                                         "--callgrind-out-file=" + file};
    std::string hold = file + ".hold";
    std::vector<std::string> env;
    if (options.backlog)
        env = {"LD_PRELOAD=" + options.bin_dir + "/libpoll_shim.so", "POLL_SHIM_HOLD=" + hold};
    if (!rig.open(options, kind, route, valgrind, env, 60000)) {
        fprintf(stderr, "%s %s: %s\n", RELAY_NAMES[kind], route.name, rig.error.c_str());
        return -1;
    }
    uint64_t base = rig.sink.received;
    std::string text = load_make_text(route.prefix, size, 1);
    uint64_t sent = 0, delivered = 0;
    if (options.backlog) {
        // The loop is held before its poll while a chunk of texts queues up
        // (for UDP, no more than the default receive buffer takes), then
        // released; so every wake-up finds a backlog.
        uint64_t chunk = route.udp ? 100 : 500;
        while (sent < count && delivered == sent) {
            fclose(fopen(hold.c_str(), "w"));
            sent += load_send_stamped(&rig.target, text, strlen(route.prefix),
                                      std::min(chunk, count - sent), 0, 0, &rig.sink, base, 30000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // on its way in
            unlink(hold.c_str());
            delivered = load_wait_delivered(&rig.sink, base, sent, 10000);
        }
    } else {
        // A window of texts in flight keeps the UDP receive buffer from
        // overflowing while the relay runs slowly under callgrind.
        sent = load_send_stamped(&rig.target, text, strlen(route.prefix), count, 0, 64, &rig.sink,
                                 base, 30000);
        delivered = load_wait_delivered(&rig.sink, base, count, 10000);
    }
    bool stopped = stop_relay(&rig.relay, 60000);
    if (sent != count || delivered != count || !stopped) {
        fprintf(stderr, "%s %s: sent %llu, delivered %llu of %llu%s\n", RELAY_NAMES[kind],
                route.name, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(count),
                stopped ? "" : ", no clean stop");
        return -1;
    }
    std::istringstream lines(read_file(file));
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("summary:", 0) == 0)
            return std::stoll(line.substr(8));
    return -1;
}

// Instructions per relayed text: a run of N texts less a run of none. The
// library's threads hand memory back to the loop's thread at their own pace,
// so the allocator's work varies a little from run to run: the median of
// options.repeat such differences.
double instructions_per_message(const options_t &options, relay_kind kind, const route_t &route,
                                size_t size)
{
    std::vector<double> per_message;
    for (int round = 0; round < options.repeat; round++) {
        std::string stem = options.keep_dir + "/callgrind." + RELAY_NAMES[kind] + "." + route.name +
                           "." + std::to_string(size) + "." + std::to_string(round);
        int64_t loaded =
            count_instructions(options, kind, route, size, options.callgrind, stem + ".out");
        int64_t idle = count_instructions(options, kind, route, size, 0, stem + ".idle.out");
        if (loaded < 0 || idle < 0)
            return -1;
        per_message.push_back(static_cast<double>(loaded - idle) /
                              static_cast<double>(options.callgrind));
    }
    return median(per_message);
}

bool run_callgrind(const options_t &options)
{
    printf("\ninstructions per relayed message on the loop's thread (callgrind, %llu messages "
           "less an idle run, median of %d%s)\n",
           static_cast<unsigned long long>(options.callgrind), options.repeat,
           options.backlog ? "; the loop held until each chunk has queued up" : "");
    printf("%-24s %5s | %9s %9s %7s | %9s %7s", "route", "size", "ceiling", "daemon", "d/c",
           "drained", "d/dr");
    if (!options.baseline.empty())
        printf(" | %9s %7s", "baseline", "d/b");
    printf("\n");
    bool all_ok = true;
    for (const std::string &name : options.routes) {
        const route_t &route = *find_route(name);
        for (size_t size : options.sizes) {
            double ceiling = instructions_per_message(options, CEILING, route, size);
            double daemon = instructions_per_message(options, DAEMON, route, size);
            all_ok = all_ok && ceiling > 0 && daemon > 0;
            double drained = instructions_per_message(options, DRAINED, route, size);
            all_ok = all_ok && drained > 0;
            printf("%-24s %5zu | %9.0f %9.0f %6.1f%% | %9.0f %6.1f%%", route.label, size, ceiling,
                   daemon, ceiling > 0 ? 100 * daemon / ceiling : 0, drained,
                   drained > 0 ? 100 * daemon / drained : 0);
            if (!options.baseline.empty()) {
                double baseline = instructions_per_message(options, BASELINE, route, size);
                all_ok = all_ok && baseline > 0;
                printf(" | %9.0f %6.1f%%", baseline, baseline > 0 ? 100 * daemon / baseline : 0);
            }
            printf("\n");
            fflush(stdout);
        }
    }
    printf("callgrind files: %s\n", options.keep_dir.c_str());
    return all_ok;
}

// The daemon's resident memory over a long run of 64-byte texts on all four
// routes in turn, sampled every million messages once the first million
// has warmed it up.
bool run_soak(const options_t &options)
{
    const route_t *routes[] = {find_route("plain"), find_route("gateway"), find_route("backyard"),
                               find_route("record")};
    rig_t rig;
    if (!rig.open(options, DAEMON, *routes[0], {}, {}, 5000)) {
        fprintf(stderr, "soak: %s\n", rig.error.c_str());
        return false;
    }
    load_sink_t sinks[3];
    for (int i = 0; i < 3; i++) {
        const route_t &route = *routes[i + 1];
        if (!load_sink_start(&sinks[i], route.published, sink_endpoint(rig.relay, route),
                             options.sink_hwm, "") ||
            !load_probe(&rig.target, route.prefix, &sinks[i], 5000)) {
            fprintf(stderr, "soak: no probe came through on %s\n", route.name);
            return false;
        }
    }
    std::vector<std::string> texts;
    for (const route_t *route : routes)
        texts.push_back(load_make_text(route->prefix, 64, 1));
    auto delivered = [&] {
        return rig.sink.received + sinks[0].received + sinks[1].received + sinks[2].received;
    };
    const uint64_t chunk = 1000000;
    uint64_t total = chunk + options.soak, sent = 0;
    long warm = 0;
    printf("\nresident memory of the daemon, 64-byte texts on four routes in turn\n");
    for (uint64_t done = 0; done < total && !zsys_interrupted; done += chunk) {
        uint64_t base = delivered();
        sent += peer_send_paced(&rig.target, texts, std::min(chunk, total - done), 0);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (delivered() - base < std::min(chunk, total - done) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        long rss = rss_kib(rig.relay.pid);
        if (done == 0)
            warm = rss;
        printf("%12llu messages: %ld KiB\n", static_cast<unsigned long long>(done + chunk), rss);
        fflush(stdout);
    }
    long last = rss_kib(rig.relay.pid);
    printf("growth after warm-up over %llu messages: %ld KiB; sent %llu, delivered %llu\n",
           static_cast<unsigned long long>(options.soak), last - warm,
           static_cast<unsigned long long>(sent), static_cast<unsigned long long>(delivered()));
    for (load_sink_t &sink : sinks)
        load_sink_stop(&sink);
    return true;
}

std::vector<std::string> split(const std::string &text)
{
    std::vector<std::string> parts;
    std::istringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ','))
        parts.push_back(part);
    return parts;
}

const char USAGE[] =
    "Usage: vostrelld-bench [options]\n"
    "  --routes LIST       plain,gateway,udp,backyard,record (default: all)\n"
    "  --sizes LIST        text sizes in bytes (default: 64,1024)\n"
    "  --pairs N           ceiling/daemon pairs per route and size (default: 3)\n"
    "  --count N           messages per throughput run (default: 100000)\n"
    "  --latency-count N   messages per latency run, 0 for none (default: 2000)\n"
    "  --latency-rate R    messages per second of latency runs (default: 5000)\n"
    "  --no-library        leave out the library's forwarder\n"
    "  --udp-window N      datagrams in flight at most, 0 for a flood (default: 256)\n"
    "  --sink-hwm N        receive high-water mark of the sinks (default: 0, none)\n"
    "  --quick             --count 20000 --pairs 1 --latency-count 500\n"
    "  --callgrind N       count instructions per message over N messages instead\n"
    "  --backlog           with --callgrind: hold the loop while each chunk queues up\n"
    "  --baseline BIN      run another build of the daemon beside this one\n"
    "  --repeat N          counted runs per relay, route and size; the median (default: 3)\n"
    "  --keep DIR          directory for the callgrind files (default: a new one in /tmp)\n"
    "  --soak N            watch the daemon's memory over N messages instead\n"
    "  --bin DIR           where the relays are (default: beside this program)\n";

bool parse_options(int argc, char *argv[], options_t *options)
{
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        std::string value = has_value ? argv[i + 1] : "";
        if (option == "--no-library") {
            options->library = false;
            continue;
        }
        if (option == "--backlog") {
            options->backlog = true;
            continue;
        }
        if (option == "--quick") {
            options->count = 20000;
            options->pairs = 1;
            options->latency_count = 500;
            continue;
        }
        if (!has_value)
            return false;
        i++;
        if (option == "--routes")
            options->routes = split(value);
        else if (option == "--sizes") {
            options->sizes.clear();
            for (const std::string &size : split(value))
                options->sizes.push_back(std::stoul(size));
        } else if (option == "--pairs")
            options->pairs = std::stoi(value);
        else if (option == "--count")
            options->count = std::stoull(value);
        else if (option == "--latency-count")
            options->latency_count = std::stoull(value);
        else if (option == "--latency-rate")
            options->latency_rate = std::stod(value);
        else if (option == "--udp-window")
            options->udp_window = std::stoull(value);
        else if (option == "--sink-hwm")
            options->sink_hwm = std::stoi(value);
        else if (option == "--callgrind")
            options->callgrind = std::stoull(value);
        else if (option == "--repeat")
            options->repeat = std::stoi(value);
        else if (option == "--keep")
            options->keep_dir = value;
        else if (option == "--soak")
            options->soak = std::stoull(value);
        else if (option == "--bin")
            options->bin_dir = value;
        else if (option == "--baseline")
            options->baseline = value;
        else
            return false;
    }
    for (const std::string &name : options->routes)
        if (!find_route(name))
            return false;
    for (size_t size : options->sizes)
        if (size < 20 || size > 2048)
            return false;
    return options->pairs > 0 && options->count > 0 && options->repeat > 0;
}

std::string program_dir()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    path[length] = '\0';
    std::string text = path;
    return text.substr(0, text.rfind('/'));
}

} // namespace

int main(int argc, char *argv[])
{
    options_t options;
    bool parsed = false;
    try {
        parsed = parse_options(argc, argv, &options);
    } catch (const std::exception &) {
        parsed = false;
    }
    if (!parsed) {
        fputs(USAGE, stderr);
        return 2;
    }
    if (options.bin_dir.empty())
        options.bin_dir = program_dir();
    zsys_init();
    // Where a relay is gone, a write to its socket must fail, not kill us.
    signal(SIGPIPE, SIG_IGN);
    bool ok;
    if (options.soak > 0) {
        ok = run_soak(options);
    } else if (options.callgrind > 0) {
        if (options.keep_dir.empty()) {
            char dir_template[] = "/tmp/vostrelld-callgrind.XXXXXX";
            options.keep_dir = mkdtemp(dir_template) ? dir_template : "/tmp";
        }
        std::system(("mkdir -p '" + options.keep_dir + "'").c_str());
        ok = run_callgrind(options);
    } else {
        ok = run_table(options);
    }
    return ok ? 0 : 1;
}
