#include "log.h"

#include "counter.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char LOG_PATH[] = "/dev/log";

// Lines up to this size are formatted on the stack; longer ones (a long pid
// file path) on the heap.
static const size_t LINE_BUFFER_SIZE = 1024;

static int log_sock_descriptor = -1;
static bool log_connected = false;
static const char *log_ident = nullptr; // the program's name until opened, as syslog(3)
static int log_facility = LOG_USER;
static loop_counter log_dropped;

// (Re)connects the log socket to /dev/log; false when no listener is there.
// A datagram socket may connect again at any time, which is how a restarted
// syslog daemon, listening on a new socket at the same path, is found.
static bool connect_log()
{
    if (log_sock_descriptor == -1)
        log_sock_descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, LOG_PATH, sizeof LOG_PATH);
    log_connected = log_sock_descriptor != -1 &&
                    connect(log_sock_descriptor, reinterpret_cast<struct sockaddr *>(&address),
                            sizeof address) == 0;
    return log_connected;
}

void log_open(const char *ident, int facility)
{
    log_ident = ident;
    log_facility = facility;
    connect_log();
}

void log_close()
{
    if (log_sock_descriptor != -1) {
        close(log_sock_descriptor);
        log_sock_descriptor = -1;
    }
    log_connected = false;
}

uint64_t log_lines_dropped()
{
    return log_dropped.get();
}

static bool send_once(const char *line, size_t length)
{
    return send(log_sock_descriptor, line, length, MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(length);
}

// Hands one datagram to the listener without waiting. A full queue means
// the listener is there but behind: the line is dropped. Any other failure
// may mean that the listener went away, so the socket connects once more
// and tries again, as syslog(3) does.
static bool send_line(const char *line, size_t length)
{
    if (!log_connected && !connect_log())
        return false;
    if (send_once(line, length))
        return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return false;
    return connect_log() && send_once(line, length);
}

// "<PRI>Mmm dd hh:mm:ss IDENT: ", the header of syslog(3) in the C locale,
// into header; its length.
static int format_header(char *header, size_t size, int priority)
{
    time_t now = time(nullptr);
    struct tm local;
    char timestamp[32];
    if (!localtime_r(&now, &local)) // as syslog(3) does without a time
        return snprintf(header, size, "<%d>: ", priority | log_facility);
    strftime(timestamp, sizeof timestamp, "%h %e %T ", &local);
    return snprintf(header, size, "<%d>%s%s: ", priority | log_facility, timestamp,
                    log_ident ? log_ident : program_invocation_short_name);
}

void log_line(int priority, const char *format, ...)
{
    int saved_errno = errno;
    char line[LINE_BUFFER_SIZE];
    size_t header = static_cast<size_t>(format_header(line, sizeof line, priority));
    va_list args;
    va_start(args, format);
    int text = vsnprintf(line + header, sizeof line - header, format, args);
    va_end(args);
    if (text < 0)
        text = 0;
    bool sent;
    if (header + static_cast<size_t>(text) < sizeof line) {
        sent = send_line(line, header + static_cast<size_t>(text));
    } else {
        std::string long_line(line, header);
        long_line.resize(header + static_cast<size_t>(text) + 1);
        va_start(args, format);
        vsnprintf(&long_line[header], static_cast<size_t>(text) + 1, format, args);
        va_end(args);
        sent = send_line(long_line.data(), header + static_cast<size_t>(text));
    }
    if (!sent)
        log_dropped++;
    errno = saved_errno;
}
