#include "harness.h"

#include "peer.h"

#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace harness
{

using Clock = std::chrono::steady_clock;

static const char DRAIN_MARK[] = "<0>harness: drain";

bool LogLine::operator==(const LogLine &other) const
{
    return priority == other.priority && ident == other.ident && text == other.text;
}

void PrintTo(const LogLine &line, std::ostream *out)
{
    *out << "<" << line.priority << "> " << line.ident << ": \"" << line.text << "\"";
}

LogLine daemon_line(int severity, const std::string &text)
{
    return LogLine{0, LOG_USER | severity, "vostrelld", text};
}

LogLine start_line()
{
    int zmq_major, zmq_minor, zmq_patch, czmq_major, czmq_minor, czmq_patch;
    zmq_version(&zmq_major, &zmq_minor, &zmq_patch);
    zsys_version(&czmq_major, &czmq_minor, &czmq_patch);
    char text[128];
    snprintf(text, sizeof text, "Starting , ZMQ version %d.%d.%d, CZMQ version %d.%d.%d", zmq_major,
             zmq_minor, zmq_patch, czmq_major, czmq_minor, czmq_patch);
    return daemon_line(LOG_INFO, text);
}

static struct sockaddr_un unix_address(const std::string &path)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// True when a live process (a syslog daemon) receives on path.
static bool someone_listens(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = unix_address(path);
    bool live = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    if (!live && errno == ECONNREFUSED)
        unlink(path.c_str()); // left behind by an earlier listener
    close(fd);
    return live;
}

static LogLine parse_line(pid_t pid, const std::string &data)
{
    // "<PRI>Mmm dd hh:mm:ss ident: text"
    LogLine line{pid, -1, "", data};
    size_t close = data.find('>');
    if (data.empty() || data[0] != '<' || close == std::string::npos)
        return line;
    line.priority = atoi(data.c_str() + 1);
    std::string rest = data.substr(close + 1);
    const size_t TIMESTAMP_LENGTH = 16;
    if (rest.size() >= TIMESTAMP_LENGTH)
        rest.erase(0, TIMESTAMP_LENGTH);
    size_t colon = rest.find(": ");
    if (colon != std::string::npos) {
        line.ident = rest.substr(0, colon);
        line.text = rest.substr(colon + 2);
    } else {
        line.text = rest;
    }
    return line;
}

SyslogListener::SyslogListener()
{
    path_ = "/dev/log";
    if (someone_listens(path_)) {
        private_ = true;
        path_ = "/tmp/vostrelld-test-log." + std::to_string(getpid());
        unlink(path_.c_str());
    }
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = unix_address(path_);
    if (bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == -1) {
        perror(path_.c_str());
        abort();
    }
    int on = 1, size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    reader_ = std::thread(&SyslogListener::read_loop, this);
}

SyslogListener::~SyslogListener()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    reader_.join();
    close(fd_);
    unlink(path_.c_str());
}

void SyslogListener::read_loop()
{
    std::vector<char> data(1 << 16);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        struct pollfd ready = {fd_, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        struct iovec io = {data.data(), data.size()};
        union {
            char buffer[CMSG_SPACE(sizeof(struct ucred))];
            struct cmsghdr align;
        } control;
        struct msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.buffer;
        message.msg_controllen = sizeof control.buffer;
        ssize_t size = recvmsg(fd_, &message, 0);
        if (size < 0)
            continue;
        pid_t pid = 0;
        struct cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (header && header->cmsg_type == SCM_CREDENTIALS) {
            struct ucred credentials;
            memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
            pid = credentials.pid;
        }
        std::string text(data.data(), static_cast<size_t>(size));
        std::lock_guard<std::mutex> lock(mutex_);
        if (pid == getpid() && text == DRAIN_MARK)
            drain_seen_++;
        else
            lines_.push_back(parse_line(pid, text));
        arrived_.notify_all();
    }
}

void SyslogListener::drain()
{
    unsigned target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = drain_seen_ + 1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = unix_address(path_);
    sendto(fd, DRAIN_MARK, sizeof DRAIN_MARK - 1, 0, reinterpret_cast<struct sockaddr *>(&address),
           sizeof address);
    close(fd);
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return drain_seen_ >= target; });
}

std::vector<LogLine> SyslogListener::lines_of(pid_t pid)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LogLine> result;
    for (const LogLine &line : lines_)
        if (line.pid == pid)
            result.push_back(line);
    return result;
}

size_t SyslogListener::count(pid_t pid, const std::string &text)
{
    size_t found = 0;
    for (const LogLine &line : lines_of(pid))
        found += line.text == text;
    return found;
}

bool SyslogListener::wait_for(pid_t pid, const std::string &text, int timeout_ms, size_t count)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_until(lock, deadline, [&] {
        size_t found = 0;
        for (const LogLine &line : lines_)
            found += line.pid == pid && line.text == text;
        return found >= count;
    });
}

SyslogListener &log()
{
    static SyslogListener listener;
    return listener;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/vostrelld-test.XXXXXX";
    path_ = mkdtemp(pattern);
}

TempDir::~TempDir()
{
    nftw(
        path_.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

static int free_port(int type, uint32_t address)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    struct sockaddr_in bound;
    memset(&bound, 0, sizeof bound);
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    socklen_t length = sizeof bound;
    bind(fd, reinterpret_cast<struct sockaddr *>(&bound), sizeof bound);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &length);
    close(fd);
    return ntohs(bound.sin_port);
}

int free_tcp_port()
{
    return free_port(SOCK_STREAM, INADDR_LOOPBACK);
}

int free_udp_port()
{
    return free_port(SOCK_DGRAM, INADDR_ANY);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string tcp_endpoint(int port)
{
    return "tcp://127.0.0.1:" + std::to_string(port);
}

Config::Config(const TempDir &dir)
    : publisher_port(free_tcp_port()), gateway_port(free_tcp_port()),
      subscriber_port(free_tcp_port()), udp_port(free_udp_port())
{
    keys = {
        {"pidfile", dir.file("vostrelld.pid")},
        {"publisher", tcp_endpoint(publisher_port)},
        {"gatewaypublisher", tcp_endpoint(gateway_port)},
        {"subscriber", tcp_endpoint(subscriber_port)},
        {"udpport", std::to_string(udp_port)},
        {"message_processor", ">" + tcp_endpoint(free_tcp_port())},
        {"message_processor_backyard", ">" + tcp_endpoint(free_tcp_port())},
        {"buffer_size", "2048"},
    };
}

std::string Config::text() const
{
    std::string text;
    for (const auto &[key, value] : keys)
        text += key + " = \"" + value + "\"\n";
    return text;
}

std::string Config::write(const TempDir &dir, const std::string &name) const
{
    std::string path = dir.file(name);
    write_file(path, text());
    return path;
}

Process::Process(std::vector<std::string> argv_text, const std::vector<std::string> &extra_env,
                 const std::string &input, bool private_log)
{
    SyslogListener &listener = log();
    // Everything the child needs is prepared before fork: the test process
    // has other threads, so the child only makes async-signal-safe calls.
    std::vector<char *> argv, envp;
    for (std::string &arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = extra_env;
    for (char **entry = environ; *entry; entry++)
        env_text.push_back(*entry);
    for (std::string &entry : env_text)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    write_file(files_.file("stdin"), input);
    std::string in = files_.file("stdin"), out = files_.file("stdout"), err = files_.file("stderr");
    const char *log_path = private_log ? listener.path().c_str() : nullptr;

    pid_ = fork();
    if (pid_ != 0)
        return;
    dup2(open(in.c_str(), O_RDONLY), STDIN_FILENO);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    if (log_path && (unshare(CLONE_NEWNS) == -1 ||
                     mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
                     mount(log_path, "/dev/log", nullptr, MS_BIND, nullptr) == -1))
        _exit(126);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
}

Process::~Process()
{
    if (wait_exit(0) == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int Process::wait_exit(int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (status_ == -1) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            log().drain();
            break;
        }
        if (Clock::now() >= deadline)
            break;
        usleep(2000);
    }
    return status_;
}

void Process::signal(int sig)
{
    kill(pid_, sig);
}

std::string Process::stdout_text() const
{
    return read_file(files_.file("stdout"));
}

std::string Process::stderr_text() const
{
    return read_file(files_.file("stderr"));
}

static std::vector<std::string> daemon_argv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv;
    std::istringstream wrapper(getenv("VOSTRELLD_WRAPPER") ? getenv("VOSTRELLD_WRAPPER") : "");
    for (std::string word; wrapper >> word;)
        argv.push_back(word);
    argv.push_back(VOSTRELLD_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Daemon::Daemon(const std::vector<std::string> &args, const std::vector<std::string> &extra_env)
    : Process(daemon_argv(args), extra_env, "", log().is_private())
{
}

std::vector<LogLine> Daemon::lines()
{
    return log().lines_of(pid());
}

std::vector<LogLine> Daemon::new_lines()
{
    log().drain();
    std::vector<LogLine> all = lines();
    std::vector<LogLine> fresh(
        all.begin() + static_cast<long>(std::min(lines_returned_, all.size())), all.end());
    lines_returned_ = all.size();
    return fresh;
}

bool wait_ready(Daemon &daemon, const std::string &pidfile, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string expected = std::to_string(daemon.pid());
    while (Clock::now() < deadline) {
        if (read_file(pidfile) == expected)
            return true;
        if (daemon.wait_exit(0) != -1)
            return false;
        usleep(2000);
    }
    return false;
}

std::optional<std::vector<std::string>> receive(zsock_t *socket, int timeout_ms)
{
    return peer_receive(socket, timeout_ms);
}

std::optional<std::string> receive_text(zsock_t *socket, int timeout_ms)
{
    auto frames = receive(socket, timeout_ms);
    if (!frames || frames->size() != 1)
        return std::nullopt;
    return frames->front();
}

std::optional<std::vector<std::string>> read_until(zsock_t *socket, const std::string &end)
{
    std::vector<std::string> texts;
    for (;;) {
        auto text = receive_text(socket);
        if (!text)
            return std::nullopt;
        if (*text == end)
            return texts;
        texts.push_back(*text);
    }
}

Relay::Relay() : config(dir) {}

Relay::~Relay()
{
    daemon.reset();
    zsock_destroy(&publisher);
    zsock_destroy(&gateway);
    zsock_destroy(&inbound);
    if (udp != -1)
        close(udp);
}

// Sends probes until sub receives one, then an end mark, and reads up to it:
// afterwards the subscription is proven and nothing of the probes is left.
static bool prove_receiving(Relay &relay, zsock_t *sub, const std::string &prefix)
{
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!receive_text(sub, 20)) {
        if (Clock::now() >= deadline)
            return false;
        relay.send_udp(prefix + "probe");
    }
    relay.send_udp(prefix + "probe-end");
    for (;;) {
        auto text = receive_text(sub, 2000);
        if (!text)
            return false;
        if (*text == "probe-end" || *text == prefix + "probe-end")
            return true;
    }
}

bool Relay::start(const std::vector<std::string> &extra_env)
{
    return launch(extra_env) && connect();
}

bool Relay::launch(const std::vector<std::string> &extra_env)
{
    std::string path = config.write(dir);
    daemon = std::make_unique<Daemon>(std::vector<std::string>{"-c", path}, extra_env);
    return wait_ready(*daemon, config.keys["pidfile"]) &&
           daemon->new_lines() == std::vector<LogLine>{start_line()};
}

bool Relay::connect()
{
    publisher = zsock_new_sub((">" + tcp_endpoint(config.publisher_port)).c_str(), "");
    gateway = zsock_new_sub((">" + tcp_endpoint(config.gateway_port)).c_str(), "");
    inbound = zsock_new_push((">" + tcp_endpoint(config.subscriber_port)).c_str());
    udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(config.udp_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(udp, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    return publisher && gateway && inbound && prove_receiving(*this, publisher, "") &&
           prove_receiving(*this, gateway, "#win ");
}

int Relay::stop(int sig)
{
    daemon->signal(sig);
    return daemon->wait_exit();
}

void Relay::send_udp(const std::string &bytes)
{
    send(udp, bytes.data(), bytes.size(), 0);
}

bool Relay::sync()
{
    static unsigned serial = 0;
    std::string mark = "sync-" + std::to_string(++serial);
    push(mark);
    for (;;) {
        auto text = receive_text(publisher, 5000);
        if (!text)
            return false;
        if (*text == mark)
            return true;
    }
}

void Relay::push(const std::string &bytes)
{
    zframe_t *frame = zframe_new(bytes.data(), bytes.size());
    zframe_send(&frame, inbound, 0);
}

} // namespace harness
