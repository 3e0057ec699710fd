// vostrelld-bench: puts the daemon beside its ceilings, route by route: the
// same texts, the same counts, runs that alternate between the relays, and
// one table of throughput, losses, latency and memory. --paced offers fixed
// rates instead and reports what each relay delivers of them; --callgrind
// counts instructions per message; --soak watches memory over a long run.

#include "bench.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace
{

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
    "  --quick             --count 20000 --pairs 1 --latency-count 500, then one short\n"
    "                      paced cell (plain route, 150000/s, one run of 0.2 s)\n"
    "  --callgrind N       count instructions per message over N messages instead\n"
    "  --backlog           with --callgrind: hold the loop while each chunk queues up\n"
    "  --window N          with --callgrind: messages in flight at most (default: 64);\n"
    "                      1: each message wakes the loop alone\n"
    "  --baseline BIN      run another build of the daemon beside this one\n"
    "  --curve             run the daemon with CURVE on every socket beside it\n"
    "  --config FILE       add the lines of FILE to this daemon's configuration (not to\n"
    "                      the baseline's or the other relays')\n"
    "  --baseline-config FILE  the same for the baseline\n"
    "  --repeat N          counted runs per relay, route and size; the median (default: 3)\n"
    "  --keep DIR          directory for the callgrind files (default: a new one in /tmp)\n"
    "  --paced RATES       offer texts at each of these rates instead (e.g. 150000,300000)\n"
    "  --restarts RATES    the texts lost when the daemon restarts mid-stream, at each rate\n"
    "  --runs N            paced runs per relay, route and rate; the median (default: 5)\n"
    "  --seconds S         offered load per paced run (default: 1)\n"
    "  --tick-us N         the paced generator's sleep between bursts (default: 1000)\n"
    "  --spread            the paced generator sends each text at its own due time,\n"
    "                      one send per wake-up, instead of in bursts\n"
    "  --scrape ADDR:PORT  in paced runs, scrape this daemon's metrics endpoint there\n"
    "                      (its --config must set it; the baseline is not scraped)\n"
    "  --scrape-rate R     scrapes a second (default: 50)\n"
    "  --soak N            watch the daemon's memory over N messages instead\n"
    "  --spool RATES       the backyard processor's disk spool at these rates: the processor\n"
    "                      up, away (every text delivered once it is back), a queue instead\n"
    "  --spool-fill N      then N texts spooled and replayed while 20,000/s keep coming\n"
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
        if (option == "--curve") {
            options->curve = true;
            continue;
        }
        if (option == "--spread") {
            options->spread = true;
            continue;
        }
        if (option == "--quick") {
            options->count = 20000;
            options->pairs = 1;
            options->latency_count = 500;
            options->quick = true;
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
        else if (option == "--window")
            options->window = std::stoull(value);
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
        else if (option == "--config" || option == "--baseline-config") {
            std::string &lines = option == "--config" ? options->config : options->baseline_config;
            lines = read_file(value);
            if (lines.empty())
                return false;
        } else if (option == "--paced") {
            for (const std::string &rate : split(value))
                options->paced.push_back(std::stod(rate));
        } else if (option == "--restarts") {
            for (const std::string &rate : split(value))
                options->restarts.push_back(std::stod(rate));
        } else if (option == "--spool") {
            for (const std::string &rate : split(value))
                options->spool.push_back(std::stod(rate));
        } else if (option == "--spool-fill") {
            options->spool_fill = std::stoull(value);
        } else if (option == "--runs")
            options->runs = std::stoi(value);
        else if (option == "--seconds")
            options->seconds = std::stod(value);
        else if (option == "--tick-us")
            options->tick_us = std::stoi(value);
        else if (option == "--scrape")
            options->scrape = value;
        else if (option == "--scrape-rate")
            options->scrape_rate = std::stod(value);
        else
            return false;
    }
    for (const std::string &name : options->routes)
        if (!find_route(name))
            return false;
    for (size_t size : options->sizes)
        if (size < 20 || size > 2048)
            return false;
    for (const std::vector<double> *rates : {&options->paced, &options->restarts, &options->spool})
        for (double rate : *rates)
            if (!(rate > 0))
                return false;
    return options->pairs > 0 && options->count > 0 && options->window > 0 && options->repeat > 0 &&
           options->runs > 0 && options->seconds > 0 && options->tick_us > 0;
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
    } else if (!options.spool.empty() || options.spool_fill > 0) {
        ok = run_spool(options);
    } else if (!options.restarts.empty()) {
        ok = run_restarts(options);
    } else if (!options.paced.empty()) {
        ok = run_paced(options);
    } else {
        ok = run_table(options);
        if (options.quick) {
            options_t cell = options;
            cell.routes = {"plain"};
            cell.paced = {150000};
            cell.runs = 1;
            cell.seconds = 0.2;
            ok = run_paced(cell) && ok;
        }
    }
    return ok ? 0 : 1;
}
