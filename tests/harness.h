#pragma once
// Test harness: a system-log listener of our own, the real daemon started
// with a per-test configuration, and the peers that talk to it over real
// sockets. Every wait is bounded.

#include <czmq.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <ostream>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <syslog.h>
#include <thread>
#include <vector>

namespace harness
{

struct LogLine {
    pid_t pid;    // sender, from the socket's credentials
    int priority; // facility | severity
    std::string ident;
    std::string text; // exactly as logged, trailing newline included
    bool operator==(const LogLine &other) const;
};

// Readable test failure output.
void PrintTo(const LogLine &line, std::ostream *out);

// A line as tests expect it from the daemon: LOG_USER, identity "vostrelld".
LogLine daemon_line(int severity, const std::string &text);

// The start line that every run of the daemon logs first.
LogLine start_line();

// Receives what processes send to /dev/log. When a syslog daemon already owns
// /dev/log, it listens on a private path instead, and Daemon makes that path
// the daemon's /dev/log in a mount namespace of its own.
class SyslogListener
{
  public:
    SyslogListener();
    ~SyslogListener();
    SyslogListener(const SyslogListener &) = delete;
    SyslogListener &operator=(const SyslogListener &) = delete;

    const std::string &path() const
    {
        return path_;
    }
    bool is_private() const
    {
        return private_;
    }

    // Returns once every line sent before the call has been read.
    void drain();
    // Every line received so far from this process id.
    std::vector<LogLine> lines_of(pid_t pid);
    // Waits until process pid has sent count lines with this text; false on
    // time-out.
    bool wait_for(pid_t pid, const std::string &text, int timeout_ms, size_t count = 1);
    // Number of lines with this text from pid so far.
    size_t count(pid_t pid, const std::string &text);

  private:
    void read_loop();

    std::string path_;
    bool private_ = false;
    int fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<LogLine> lines_;
    bool stopping_ = false;
    unsigned drain_seen_ = 0;
};

// The listener shared by every test of a test program.
SyslogListener &log();

// A temporary directory, removed with its content.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const
    {
        return path_;
    }
    std::string file(const std::string &name) const
    {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

int free_tcp_port();
std::string tcp_endpoint(int port); // "tcp://127.0.0.1:PORT"
int free_udp_port();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// The daemon's eight keys; each test changes what it needs.
struct Config {
    Config(const TempDir &dir);
    std::map<std::string, std::string> keys;
    int publisher_port, gateway_port, subscriber_port, udp_port;
    // ZPL text, one quoted value per key; erase a key to leave it out.
    std::string text() const;
    std::string write(const TempDir &dir, const std::string &name = "vostrelld.cfg") const;
};

// One run of a program: its standard input read from a given text, its
// standard output and error captured.
class Process
{
  public:
    // argv[0] is the program's path. With private_log, the process sees the
    // listener's private socket as /dev/log (see SyslogListener).
    Process(std::vector<std::string> argv, const std::vector<std::string> &extra_env = {},
            const std::string &input = "", bool private_log = false);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const
    {
        return pid_;
    }
    // Exit status once the process has ended, 128 + signal when killed by
    // one, or -1 when it still runs after timeout_ms. Once it has ended,
    // every line it logged has reached the listener.
    int wait_exit(int timeout_ms = 5000);
    void signal(int sig);
    std::string stdout_text() const;
    std::string stderr_text() const;

  private:
    TempDir files_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// One run of the real daemon with the given arguments. VOSTRELLD_WRAPPER in
// the environment runs it under a tool such as valgrind, which keeps the
// daemon's process id.
class Daemon : public Process
{
  public:
    Daemon(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {});
    // The lines the process sent, all of them once it has ended.
    std::vector<LogLine> lines();
    // The lines sent since the previous call, every one sent before this call.
    std::vector<LogLine> new_lines();

  private:
    size_t lines_returned_ = 0;
};

// A started daemon with connected peers: a SUB on each publisher, a PUSH to
// the inbound endpoint and a UDP sender. start() waits for the pid file and
// proves both subscriptions receive before it returns; the start line is
// then already taken from the daemon's new_lines().
class Relay
{
  public:
    Relay();
    ~Relay();
    TempDir dir;
    Config config;
    std::unique_ptr<Daemon> daemon;
    zsock_t *publisher = nullptr;
    zsock_t *gateway = nullptr;
    zsock_t *inbound = nullptr;
    int udp = -1;

    bool start(const std::vector<std::string> &extra_env = {});
    // The two halves of start(): run the daemon until its pid file is
    // written, then connect and prove the peers.
    bool launch(const std::vector<std::string> &extra_env = {});
    bool connect();
    // Stops the daemon with sig and returns its exit status.
    int stop(int sig = SIGTERM);
    void send_udp(const std::string &bytes);
    void push(const std::string &bytes);
    // Sends a plain text through the daemon and waits until the publisher
    // delivers it: everything sent before has been routed by then.
    bool sync();
    pid_t pid() const
    {
        return daemon->pid();
    }
};

// Waits until the daemon has written its pid into the pid file.
bool wait_ready(Daemon &daemon, const std::string &pidfile, int timeout_ms = 5000);

// Receives one message, all its frames, or nullopt after timeout_ms.
std::optional<std::vector<std::string>> receive(zsock_t *socket, int timeout_ms = 2000);
// Receives one single-frame message's text, or nullopt.
std::optional<std::string> receive_text(zsock_t *socket, int timeout_ms = 2000);
// Receives single-frame texts until one equals end; those before it, or
// nullopt when end does not come.
std::optional<std::vector<std::string>> read_until(zsock_t *socket, const std::string &end);

} // namespace harness
