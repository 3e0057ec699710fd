// The paced table: texts offered at fixed rates, and what each relay
// delivers of them. A relay is judged by what reaches its consumer: at a
// rate well below what it takes in flat out, a relay that keeps its output
// flowing loses nothing. The messaging library's forwarder (zmq_proxy from
// PULL to PUB) runs in the same cells as the reference, alternating with the
// daemon, and so does the baseline when one is given.
//
// The relay runs alone on the first processor, the generator and the sink
// (with their library's threads) on the second, so that neither side takes
// time from the other. The generator sends the texts that are due in a
// small burst and sleeps until the next tick: a sender that spins on a
// shared core starves its own I/O thread. With --spread it sleeps until each
// text's own due time instead, as producers that send one by one do. On the
// UDP route the plainest loop (vostrelld-loop) runs beside them.

#include "bench.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace
{

struct paced_run_t {
    bool ok = false;
    uint64_t offered = 0, received = 0;
    double cpu_ns_per_message = 0;
    bool short_of_rate = false; // the generator took over 5 % longer than the rate allows
};

// The relays of one paced cell, in the order of their columns.
struct paced_relay_t {
    relay_kind kind;
    const char *name;
};

// Processor time of every thread of process pid so far, in nanoseconds,
// as the scheduler accounts it (not the 10 ms ticks of utime).
uint64_t cpu_time_ns(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    uint64_t total = 0;
    if (!dir)
        return 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
        uint64_t on_cpu = 0;
        if (schedstat >> on_cpu)
            total += on_cpu;
    }
    closedir(dir);
    return total;
}

void advance(struct timespec *when, long nanoseconds)
{
    when->tv_nsec += nanoseconds;
    while (when->tv_nsec >= 1000000000) {
        when->tv_nsec -= 1000000000;
        when->tv_sec++;
    }
}

// Scrapes GET /metrics at address ("ADDRESS:PORT") rate times a second, on
// a thread of its own, until stopped; counts the answers that came whole.
class scraper_t
{
  public:
    scraper_t(const std::string &address, double rate)
    {
        if (!address.empty())
            thread = std::thread([this, address, rate] { run(address, rate); });
    }
    uint64_t stop()
    {
        done = true;
        if (thread.joinable())
            thread.join();
        return answered;
    }

  private:
    void run(const std::string &address, double rate)
    {
        struct sockaddr_in target = {};
        target.sin_family = AF_INET;
        target.sin_port =
            htons(static_cast<uint16_t>(std::stoi(address.substr(address.find(':') + 1))));
        inet_pton(AF_INET, address.substr(0, address.find(':')).c_str(), &target.sin_addr);
        struct timespec tick;
        clock_gettime(CLOCK_MONOTONIC, &tick);
        while (!done) {
            answered += scrape_once(target);
            advance(&tick, static_cast<long>(1e9 / rate));
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        }
    }
    static bool scrape_once(const struct sockaddr_in &target)
    {
        static const char REQUEST[] = "GET /metrics HTTP/1.0\r\n\r\n";
        char reply[65536];
        size_t got = 0;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        bool sent =
            connect(fd, reinterpret_cast<const struct sockaddr *>(&target), sizeof target) == 0 &&
            send(fd, REQUEST, sizeof REQUEST - 1, 0) == sizeof REQUEST - 1;
        for (ssize_t n; sent && (n = recv(fd, reply + got, sizeof reply - 1 - got, 0)) > 0;)
            got += static_cast<size_t>(n);
        close(fd);
        reply[got] = '\0';
        return strstr(reply, " 200 ") && strstr(reply, "vostrelld_build_info");
    }
    std::thread thread;
    std::atomic<bool> done{false};
    uint64_t answered = 0;
};

paced_run_t run_paced_once(const options_t &options, relay_kind kind, const route_t &route,
                           double rate, const std::vector<std::string> &pin)
{
    paced_run_t result;
    rig_t rig;
    if (!rig.open(options, kind, route, pin, {}, 5000)) {
        fprintf(stderr, "%s %s %.0f/s: %s\n", RELAY_NAMES[kind], route.name, rate,
                rig.error.c_str());
        return result;
    }
    std::string text = load_make_text(route.prefix, 64, 1);
    uint64_t base = rig.sink.received, cpu_before = cpu_time_ns(rig.relay.pid);
    auto count = static_cast<uint64_t>(rate * options.seconds);
    int64_t started = load_now_us();
    scraper_t scraper(kind == DAEMON ? options.scrape : "", options.scrape_rate);
    result.offered = offer(&rig.target, text, strlen(route.prefix), count, rate,
                           options.spread ? 0 : options.tick_us, false);
    result.short_of_rate = static_cast<double>(load_now_us() - started) > 1.05e6 * options.seconds;
    result.received = load_wait_delivered(&rig.sink, base, result.offered, 300);
    uint64_t scrapes = scraper.stop();
    if (!options.scrape.empty() && kind == DAEMON)
        fprintf(stderr, "%s %s %.0f/s: %llu scrapes answered\n", RELAY_NAMES[kind], route.name,
                rate, static_cast<unsigned long long>(scrapes));
    uint64_t cpu = cpu_time_ns(rig.relay.pid) - cpu_before;
    result.cpu_ns_per_message =
        result.offered ? static_cast<double>(cpu) / static_cast<double>(result.offered) : 0;
    result.ok = result.offered == count && rig.sink.malformed == 0;
    if (!result.ok)
        fprintf(stderr, "%s %s %.0f/s: offered %llu of %llu, %llu malformed\n", RELAY_NAMES[kind],
                route.name, rate, static_cast<unsigned long long>(result.offered),
                static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(rig.sink.malformed.load()));
    return result;
}

double loss_percent(const paced_run_t &run)
{
    if (run.offered == 0)
        return 100;
    uint64_t lost = run.offered - std::min(run.offered, run.received);
    return 100.0 * static_cast<double>(lost) / static_cast<double>(run.offered);
}

struct paced_cell_t {
    std::vector<double> losses, cpu;
    bool short_of_rate = false;
};

void print_paced_header(const options_t &options, const std::vector<paced_relay_t> &relays,
                        bool pinned)
{
    std::string sending = options.spread
                              ? std::string("each at its own due time")
                              : "in bursts every " + std::to_string(options.tick_us) + " us";
    printf("\npaced: 64-byte texts offered for %.1f s per run %s, %d runs per cell, medians; %s\n",
           options.seconds, sending.c_str(), options.runs,
           pinned ? "relay on cpu 0, generator and sink on cpu 1" : "not pinned (one cpu)");
    printf("%-24s %8s", "route", "offered/s");
    for (const paced_relay_t &relay : relays)
        printf(" | %-8s lost   cpu ns/msg", relay.name);
    printf("\n");
}

// The highest rate of the list up to which every cell of relay's column
// lost under 0.1 %; 0 when even the lowest did not.
double highest_clean_rate(const std::map<double, paced_cell_t> &cells)
{
    double highest = 0;
    for (const auto &[rate, cell] : cells) {
        if (median(cell.losses) >= 0.1)
            break;
        highest = rate;
    }
    return highest;
}

} // namespace

bool pin_to_cpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// Sends each text at its own due time, sleeping until then: one send per
// wake-up where the sleep is shorter than the spacing. A text already due
// goes out at once, without a sleep: where a sleep takes longer than the
// spacing (tens of microseconds in some virtual machines), the texts that
// fell due meanwhile leave back to back, so the rate holds.
static uint64_t offer_spread(peer_target_t *target, std::string text, size_t prefix_length,
                             uint64_t count, double rate, bool past_failures)
{
    int64_t start = load_now_us() * 1000;
    uint64_t sent = 0;
    for (; sent < count && !zsys_interrupted; sent++) {
        int64_t due = start + static_cast<int64_t>(static_cast<double>(sent) * 1e9 / rate);
        if (load_now_us() * 1000 < due) {
            struct timespec until = {static_cast<time_t>(due / 1000000000), due % 1000000000};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }
        load_restamp(&text, prefix_length, load_now_us());
        if (!peer_send(target, text) && !past_failures)
            return sent;
    }
    return sent;
}

// Offers count texts like text at rate per second: at every tick it sends
// the texts due by then, each stamped with its send time, and sleeps until
// the next tick. A late wake-up makes a larger burst, so the average rate
// holds. With tick_us 0, offer_spread.
uint64_t offer(peer_target_t *target, std::string text, size_t prefix_length, uint64_t count,
               double rate, int tick_us, bool past_failures)
{
    if (tick_us == 0)
        return offer_spread(target, text, prefix_length, count, rate, past_failures);
    int64_t start = load_now_us();
    struct timespec tick;
    clock_gettime(CLOCK_MONOTONIC, &tick);
    uint64_t sent = 0;
    while (sent < count && !zsys_interrupted) {
        double elapsed_s = static_cast<double>(load_now_us() - start) / 1e6;
        uint64_t due = std::min(count, static_cast<uint64_t>(elapsed_s * rate) + 1);
        for (; sent < due; sent++) {
            load_restamp(&text, prefix_length, load_now_us());
            if (!peer_send(target, text) && !past_failures)
                return sent;
        }
        advance(&tick, tick_us * 1000L);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
    }
    return sent;
}

bool run_paced(const options_t &options)
{
    bool pinned = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    std::vector<std::string> pin;
    if (pinned) {
        pin_to_cpu(1); // this thread and every thread it starts from now on
        pin = {"taskset", "-c", "0"};
    }
    prctl(PR_SET_TIMERSLACK, 1UL); // wake-ups on time, not 50 us late
    std::vector<paced_relay_t> relays = {{DAEMON, "daemon"}, {LIBRARY, "proxy"}};
    if (!options.baseline.empty())
        relays.push_back({BASELINE, "baseline"});
    if (options.curve)
        relays.push_back({CURVED, "curve"});
    if (std::any_of(options.routes.begin(), options.routes.end(),
                    [](const std::string &name) { return find_route(name)->udp; }))
        relays.push_back({LOOP, "loop"});
    std::vector<double> rates = options.paced;
    std::sort(rates.begin(), rates.end());
    print_paced_header(options, relays, pinned);
    const route_t &reference = *find_route("plain");
    bool all_ok = true;
    std::map<std::string, std::map<double, paced_cell_t>> columns; // by route and relay
    for (const std::string &name : options.routes) {
        const route_t &route = *find_route(name);
        for (double rate : rates) {
            std::vector<paced_cell_t> cells(relays.size());
            for (int run = 0; run < options.runs && !zsys_interrupted; run++) {
                for (size_t i = 0; i < relays.size(); i++) {
                    size_t k = (i + static_cast<size_t>(run)) % relays.size(); // alternating
                    if (relays[k].kind == LOOP && !route.udp)
                        continue;
                    const route_t &served = relays[k].kind == LIBRARY ? reference : route;
                    paced_run_t result = run_paced_once(options, relays[k].kind, served, rate, pin);
                    all_ok = all_ok && result.ok;
                    cells[k].losses.push_back(loss_percent(result));
                    cells[k].cpu.push_back(result.cpu_ns_per_message);
                    cells[k].short_of_rate |= result.short_of_rate;
                }
            }
            printf("%-24s %8.0f", route.label, rate);
            for (size_t k = 0; k < relays.size(); k++) {
                if (cells[k].losses.empty()) {
                    printf(" | %-8s %6s %11s", "", "-", "-");
                    continue;
                }
                printf(" | %-8s %5.2f%% %11.0f", "", median(cells[k].losses), median(cells[k].cpu));
                columns[std::string(route.name) + " " + relays[k].name][rate] = cells[k];
            }
            printf("\n");
            fflush(stdout);
        }
    }
    printf("(* the generator fell short of the rate in a run: the sender was held back)\n");
    if (rates.size() > 1) {
        printf("\nhighest offered rate up to which every median loss is under 0.1 %%\n");
        for (const auto &[column, cells] : columns)
            printf("%-24s %8.0f/s\n", column.c_str(), highest_clean_rate(cells));
    }
    return all_ok;
}
