#pragma once
// What the benchmark's modes share: the routes, the relays that can run
// them, the options, and a rig: one relay process with a sink on its output
// and a target on its input, proven to deliver before anything is timed.

#include "load.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct route_t {
    const char *name;
    const char *label;
    const char *prefix;
    bool udp;               // texts go to the UDP port, else to the inbound endpoint
    const char *output_key; // configuration key of the output the route ends on
    bool published;         // output is a PUB socket, else a PUSH socket
};

// Every route, in the order of the tables; null when name is none of them.
extern const route_t ROUTES[5];
const route_t *find_route(const std::string &name);

// CEILING is the design's first shape, DRAINED the ceiling taking a batch
// per readiness as the daemon does, LIBRARY the messaging library's own
// forwarder; BASELINE is another build of the daemon, for example the one
// before a change, run beside this one when --baseline names it; CURVED is
// this daemon with CURVE on every socket, with --curve. LOOP is the plainest
// UDP relay (vostrelld-loop: a blocking recvfrom and a zmq_send on a bound
// PUB), the reference of the UDP route in the paced table; it serves no other.
enum relay_kind { CEILING, DAEMON, LIBRARY, DRAINED, BASELINE, CURVED, LOOP, RELAY_KINDS };
extern const char *const RELAY_NAMES[RELAY_KINDS];

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
    uint64_t udp_window = 256;    // datagrams in flight at most; 0: a flood
    uint64_t callgrind = 0;       // messages per counted run; 0: no count
    bool backlog = false;         // counted runs hold the loop until a chunk is queued
    uint64_t window = 64;         // counted runs: messages in flight at most
    int repeat = 3;               // counted runs per relay, route and size
    std::string baseline;         // another daemon binary, run beside this one
    uint64_t soak = 0;            // messages of the long run; 0: none
    std::string keep_dir;         // where callgrind files stay
    std::vector<double> paced;    // offered rates of the paced mode; empty: none
    int runs = 5;                 // paced runs per relay, route and rate
    double seconds = 1;           // offered load per paced run
    int tick_us = 1000;           // the paced generator's sleep between bursts
    bool spread = false;          // the paced generator sends each text at its own due time
    bool quick = false;           // the short runs of --quick
    bool curve = false;           // the daemon with CURVE runs beside the others
    std::string config;           // more configuration lines for this daemon, not the others
    std::string baseline_config;  // the same for the baseline
    std::vector<double> restarts; // offered rates of the restart mode; empty: none
    std::string scrape;           // ADDRESS:PORT of this daemon's metrics, scraped in paced runs
    double scrape_rate = 50;      // scrapes a second
    std::vector<double> spool;    // offered rates of the spool mode; empty: none
    uint64_t spool_fill = 0;      // texts spooled and replayed after the spool's paced runs
};

// The relay of kind that serves route, reading its endpoints from config.
std::vector<std::string> relay_command(const options_t &options, relay_kind kind,
                                       const route_t &route, const std::string &config);

// One relay process with its own configuration in a directory of its own.
struct relay_t {
    std::string dir;
    int inbound_port = 0, publisher_port = 0, gateway_port = 0, udp_port = 0;
    int processor_port = 0, backyard_port = 0;
    pid_t pid = -1;
    peer_curve_t curve; // the keys of the target and the sink, for CURVED
};

// Stops the relay with SIGTERM, or SIGKILL when it is still there after
// timeout_ms. True when it ended by itself with status 0.
bool stop_relay(relay_t *relay, int timeout_ms);

// The endpoint a sink of route's output uses, "@" or ">" in front. Extra
// configuration lines may name the relay's own directory as @DIR@.
std::string sink_endpoint(const relay_t &relay, const route_t &route);

// A relay with a sink on the route's output and a target on its input.
// Everything is released by the destructor.
struct rig_t {
    relay_t relay;
    load_sink_t sink;
    peer_target_t target;
    std::string error;
    int stop_timeout_ms = 5000;
    // Set before open: the rig holds the socket of the route's input, as a
    // service manager does, and passes it to the relay (descriptor 3,
    // LISTEN_FDS) at every start.
    bool hold_input = false;
    int held_fd = -1;
    std::vector<std::string> command, env; // how the relay was started

    // Stops the relay and starts it again at once, as before; false with
    // error set when it does not come up within timeout_ms.
    bool restart(int timeout_ms);

    // Starts the relay of kind for route, its command behind wrapper (for
    // example valgrind) and extra_env in its environment, and proves with
    // probes that texts come through; everything bounded by timeout_ms.
    // False with error set when any step fails.
    bool open(const options_t &options, relay_kind kind, const route_t &route,
              const std::vector<std::string> &wrapper, const std::vector<std::string> &extra_env,
              int timeout_ms);
    bool fail(const std::string &why);
    ~rig_t();
};

// Small helpers of the modes.
double median(std::vector<double> values);
double percentile(std::vector<int64_t> values, double fraction);
std::string read_file(const std::string &path);
long rss_kib(pid_t pid);

// Datagrams the kernel dropped for a full receive buffer, all UDP sockets
// of the host together.
uint64_t udp_receive_buffer_drops();

// The modes; each prints its table and returns false when a run failed.
bool run_table(const options_t &options);
bool run_callgrind(const options_t &options);
bool run_soak(const options_t &options);
bool run_paced(const options_t &options);
bool run_restarts(const options_t &options);
bool run_spool(const options_t &options);

// Keeps this thread, and every thread it starts from now on, on one cpu.
bool pin_to_cpu(int cpu);

// Offers count texts like text at rate per second (see paced.cpp): in
// bursts every tick_us, or with tick_us 0 each at its own due time; with
// past_failures, a text whose send fails counts as offered and the next is
// sent, else the first failure ends it. Returns the number offered.
uint64_t offer(peer_target_t *target, std::string text, size_t prefix_length, uint64_t count,
               double rate, int tick_us, bool past_failures);
