// vostrelld-tap: sends texts to a running vostrelld and shows what leaves
// it, for operators and producers.
//
//   send   texts to the daemon's UDP port or inbound endpoint
//   watch  a publisher (SUB), one line per message
//   pull   as a message processor (PULL), one line per message
//
// With -k CERT every ZeroMQ socket of the tool uses CURVE with that
// certificate: as a client of the server whose public certificate -S names,
// or, without -S, as a server (a message processor that the daemon's push
// socket knows by its certificate).
//
// Message lines go to standard output; the count of messages received goes
// to standard error when watch or pull ends. Exit status: 0 on success or
// when stopped by SIGINT/SIGTERM, 1 on a failure or when fewer than -n
// messages came within -t seconds, 2 on a wrong command line.

#include "peer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

static const char USAGE[] =
    "Usage: vostrelld-tap send [-n COUNT] [-r RATE] [-t SECONDS] [-k CERT [-S CERT]] TARGET "
    "[TEXT...]\n"
    "       vostrelld-tap watch [-x] [-n COUNT] [-t SECONDS] [-s PREFIX] [-k CERT [-S CERT]] "
    "ENDPOINT\n"
    "       vostrelld-tap pull [-x] [-n COUNT] [-t SECONDS] [-k CERT [-S CERT]] ENDPOINT\n";

// How long send waits for a PUSH peer when -t is not given.
static const double DEFAULT_SEND_SECONDS = 5;

// Longest single wait for a message, so that a signal that arrives just
// before a wait begins still ends the wait promptly.
static const int RECEIVE_SLICE_MSECS = 100;

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

struct options {
    uint64_t count = 0; // 0: no limit
    double rate = 0;    // messages per second, 0: no limit
    double seconds = -1;
    bool hex = false;
    std::string prefix;
    std::string certificate; // -k: CURVE with this certificate
    std::string server;      // -S: as a client of this server's certificate
    std::vector<std::string> operands;
};

static int usage()
{
    fputs(USAGE, stderr);
    return EXIT_USAGE;
}

static bool parse_count(const char *text, uint64_t *count)
{
    char *end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno || end == text || *end || *text == '-' || value == 0)
        return false;
    *count = value;
    return true;
}

// A decimal number of seconds or messages per second: 0 or more, fractions
// allowed.
static bool parse_amount(const char *text, double *amount)
{
    char *end;
    errno = 0;
    double value = strtod(text, &end);
    if (errno || end == text || *end || !std::isfinite(value) || value < 0)
        return false;
    *amount = value;
    return true;
}

// Reads the options of command (from argv[0], the command's name, on) into
// opts; false on an option the command does not take or a bad value.
static bool parse_options(const std::string &command, int argc, char *argv[], options *opts)
{
    const char *optstring = command == "send"    ? "+n:r:t:k:S:"
                            : command == "watch" ? "+xn:t:s:k:S:"
                                                 : "+xn:t:k:S:";
    optind = 1;
    int option;
    while ((option = getopt(argc, argv, optstring)) != -1) {
        bool valid = true;
        switch (option) {
        case 'n':
            valid = parse_count(optarg, &opts->count);
            break;
        case 'r':
            valid = parse_amount(optarg, &opts->rate);
            break;
        case 't':
            valid = parse_amount(optarg, &opts->seconds);
            break;
        case 'x':
            opts->hex = true;
            break;
        case 's':
            opts->prefix = optarg;
            break;
        case 'k':
            opts->certificate = optarg;
            break;
        case 'S':
            opts->server = optarg;
            break;
        default:
            return false;
        }
        if (!valid) {
            fprintf(stderr, "vostrelld-tap: -%c: invalid value '%s'\n", option, optarg);
            return false;
        }
    }
    opts->operands.assign(argv + optind, argv + argc);
    return opts->server.empty() || !opts->certificate.empty();
}

static int run_send(const options &opts, const peer_curve_t &curve)
{
    if (opts.operands.empty())
        return usage();
    if (curve.certificate && opts.operands[0].rfind("udp://", 0) == 0) {
        fprintf(stderr, "vostrelld-tap: %s: UDP is never encrypted\n", opts.operands[0].c_str());
        return EXIT_FAILED;
    }
    std::vector<std::string> texts(opts.operands.begin() + 1, opts.operands.end());
    if (texts.empty()) { // one text per line of standard input
        std::string line;
        while (std::getline(std::cin, line))
            texts.push_back(line);
        if (texts.empty())
            return EXIT_OK;
    }
    double seconds = opts.seconds < 0 ? DEFAULT_SEND_SECONDS : opts.seconds;
    // -1 waits without limit, for times beyond what ZeroMQ can count.
    int timeout_ms = seconds * 1000 < INT_MAX ? static_cast<int>(seconds * 1000) : -1;
    peer_target_t target;
    std::string error;
    if (!peer_target_open(&target, opts.operands[0], timeout_ms, &error, &curve)) {
        fprintf(stderr, "vostrelld-tap: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    uint64_t count = opts.count ? opts.count : texts.size();
    uint64_t sent = peer_send_paced(&target, texts, count, opts.rate);
    int send_errno = errno;
    peer_target_close(&target);
    if (sent < count && !zsys_interrupted) {
        fprintf(stderr, "vostrelld-tap: send to %s: %s (%llu of %llu sent)\n",
                opts.operands[0].c_str(), zmq_strerror(send_errno),
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(count));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// Prints every message that socket receives until the count is reached, the
// time is up or the process is interrupted, then the count.
static int receive_lines(zsock_t *socket, const options &opts)
{
    const auto start = std::chrono::steady_clock::now();
    peer_tally_t tally;
    int status = EXIT_OK;
    while (!(opts.count && tally.messages >= opts.count) && !zsys_interrupted) {
        int slice = RECEIVE_SLICE_MSECS;
        if (opts.seconds >= 0) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            double left = opts.seconds - elapsed.count();
            if (left <= 0) {
                if (opts.count)
                    status = EXIT_FAILED; // fewer than asked for
                break;
            }
            if (left * 1000 < slice)
                slice = static_cast<int>(std::ceil(left * 1000));
        }
        // Lines leave in one write per burst rather than one per message,
        // so that the tool keeps up with the daemon; they are flushed before
        // every wait.
        auto frames = peer_receive(socket, 0);
        if (!frames && errno == EAGAIN) {
            fflush(stdout);
            frames = peer_receive(socket, slice);
        }
        if (!frames) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            fprintf(stderr, "vostrelld-tap: receive: %s\n", zmq_strerror(errno));
            status = EXIT_FAILED;
            break;
        }
        printf("%s\n", peer_format(*frames, opts.hex).c_str());
        peer_tally_add(&tally, *frames);
    }
    fflush(stdout);
    fprintf(stderr, "%llu message%s\n", static_cast<unsigned long long>(tally.messages),
            tally.messages == 1 ? "" : "s");
    return status;
}

static int run_receive(const std::string &command, const options &opts, const peer_curve_t &curve)
{
    if (opts.operands.size() != 1)
        return usage();
    const char *endpoint = opts.operands[0].c_str();
    bool watch = command == "watch";
    zsock_t *socket = zsock_new(watch ? ZMQ_SUB : ZMQ_PULL);
    peer_curve_apply(curve, socket);
    peer_set_family(socket, endpoint);
    if (watch)
        zsock_set_subscribe(socket, opts.prefix.c_str());
    // A publisher is connected to and a message processor binds, unless the
    // endpoint says otherwise with "@" (bind) or ">" (connect).
    if (zsock_attach(socket, endpoint, !watch) == -1) {
        fprintf(stderr, "vostrelld-tap: %s: %s\n", endpoint, zmq_strerror(errno));
        zsock_destroy(&socket);
        return EXIT_FAILED;
    }
    int status = receive_lines(socket, opts);
    zsock_destroy(&socket);
    return status;
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "-h" || command == "--help") {
        fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (command != "send" && command != "watch" && command != "pull")
        return usage();
    options opts;
    if (!parse_options(command, argc - 1, argv + 1, &opts))
        return usage();
    peer_curve_t curve;
    std::string error;
    if (!opts.certificate.empty() &&
        !peer_curve_load(&curve, opts.certificate, opts.server, &error)) {
        fprintf(stderr, "vostrelld-tap: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    // SIGINT and SIGTERM end sending and receiving cleanly, UDP included.
    zsys_catch_interrupts();
    int status = command == "send" ? run_send(opts, curve) : run_receive(command, opts, curve);
    peer_curve_free(&curve);
    return status;
}
