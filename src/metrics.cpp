#include "metrics.h"

#include "allow.h"
#include "collector.h"
#include "config.h"
#include "log.h"

#include <CivetServer.h>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// Worker threads of the server. A connection holds a worker until its
// request is read or times out, so a few idle or junk connections delay a
// scrape by at most the time-out each, and never touch relaying.
static const char WORKER_THREADS[] = "4";

// Longest wait for a request's bytes before the connection is cut.
static const char REQUEST_TIMEOUT_MSECS[] = "3000";

static std::unique_ptr<prometheus::Exposer> exposer;
static std::shared_ptr<metrics_collector> collector;

// The addresses that may scrape, and whether the list applies at all.
// Fixed before the server starts.
static allow_list_t scrapers;
static bool scrapers_checked = false;

// Scrapes refused for their address since the start. Written by the
// server's threads, which may refuse at the same time.
static std::atomic<uint64_t> scrapes_refused{0};

// Reads the addresses that may scrape: "/metrics_allow", else "/allow",
// else anyone.
static bool read_scrapers()
{
    int key = optional_strings[METRICS_ALLOW_STR].value ? METRICS_ALLOW_STR : ALLOW_STR;
    scrapers_checked = optional_strings[key].value != nullptr;
    return !scrapers_checked ||
           parse_allow_list(optional_strings[key].name, optional_strings[key].value, &scrapers);
}

// Called by the server for every request before it is handled: one from an
// address that may not scrape is answered 403 and counted.
static int check_scraper(struct mg_connection *connection)
{
    if (!scrapers_checked ||
        allow_list_admits_text(&scrapers, mg_get_request_info(connection)->remote_addr))
        return 0;
    scrapes_refused.fetch_add(1, std::memory_order_relaxed);
    mg_send_http_error(connection, 403, "%s", "Forbidden\n");
    return 403;
}

// The server's errors go nowhere: its threads never write the daemon's log.
static int discard_message(const struct mg_connection *, const char *)
{
    return 1;
}

// "/metrics" as "ADDRESS:PORT", an IPv4 address and a port from 1 to 65535,
// into address; logs the value where it is not one.
static bool read_listening_address(struct sockaddr_in *address)
{
    const char *name = optional_strings[METRICS_STR].name;
    std::string value = optional_strings[METRICS_STR].value;
    size_t colon = value.rfind(':');
    std::string host = value.substr(0, colon == std::string::npos ? 0 : colon);
    std::string port = colon == std::string::npos ? "" : value.substr(colon + 1);
    char *end = nullptr;
    long number =
        port.empty() || port[0] < '0' || port[0] > '9' ? 0 : strtol(port.c_str(), &end, 10);
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    if (host.find(':') != std::string::npos) {
        log_line(LOG_ERR,
                 "Parameter \"%s\": \"%s\" is an IPv6 address; the metrics endpoint takes an "
                 "IPv4 address only",
                 name, value.c_str());
        return false;
    }
    if (inet_pton(AF_INET, host.c_str(), &address->sin_addr) != 1 || number < 1 || number > 65535 ||
        *end) {
        log_line(LOG_ERR, "Parameter \"%s\": \"%s\" is not an IPv4 address and a port", name,
                 value.c_str());
        return false;
    }
    address->sin_port = htons(static_cast<uint16_t>(number));
    return true;
}

// Binds address once, as the server will, so that a port in use is told
// with its reason before any thread starts.
static bool can_bind(const struct sockaddr_in *address)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    bool bound = fd != -1 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                 bind(fd, reinterpret_cast<const struct sockaddr *>(address), sizeof *address) == 0;
    int bind_errno = errno;
    if (fd != -1)
        close(fd);
    if (!bound)
        log_line(LOG_ERR, "%s: bind %s: %d, %s", "create_metrics",
                 optional_strings[METRICS_STR].value, bind_errno, strerror(bind_errno));
    return bound;
}

// Starts the server with every signal blocked: its threads inherit the
// mask, so SIGINT, SIGTERM and SIGUSR1 always reach the event loop.
static bool start_exposer()
{
    static CivetCallbacks callbacks;
    callbacks.begin_request = check_scraper;
    callbacks.log_message = discard_message;
    std::vector<std::string> options = {"listening_ports",    optional_strings[METRICS_STR].value,
                                        "num_threads",        WORKER_THREADS,
                                        "request_timeout_ms", REQUEST_TIMEOUT_MSECS};
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        exposer = std::make_unique<prometheus::Exposer>(options, &callbacks);
    } catch (const std::exception &failure) {
        log_line(LOG_ERR, "%s: %s", "create_metrics", failure.what());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return exposer != nullptr;
}

bool create_metrics()
{
    struct sockaddr_in address;
    if (!optional_strings[METRICS_STR].value) {
        if (optional_strings[METRICS_ALLOW_STR].value)
            log_line(LOG_ERR, "Parameter \"%s\" needs \"%s\"",
                     optional_strings[METRICS_ALLOW_STR].name, optional_strings[METRICS_STR].name);
        return !optional_strings[METRICS_ALLOW_STR].value;
    }
    if (!read_listening_address(&address) || !read_scrapers() || !can_bind(&address) ||
        !start_exposer()) {
        destroy_metrics();
        return false;
    }
    collector = std::make_shared<metrics_collector>(&scrapes_refused);
    exposer->RegisterCollectable(collector);
    return true;
}

void destroy_metrics()
{
    exposer.reset();
    collector.reset();
    scrapers = allow_list_t();
    scrapers_checked = false;
}
