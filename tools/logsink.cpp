// Minimal system-log listener for hosts where no syslog daemon runs: binds
// a datagram socket at the given path (default /dev/log) and prints every
// line it receives on standard output until SIGINT or SIGTERM, then removes
// the socket again. Exits with 3 when a syslog daemon already listens there;
// a socket left behind by an earlier listener is replaced. A line is printed
// as a person reads it: "Dec 10 13:48:23 vostrelld: Starting ...", with the
// priority as a word after the name where it is not info
// ("vostrelld: error: send_data: ...").

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static volatile sig_atomic_t stopping = 0;

static void request_stop(int)
{
    stopping = 1;
}

enum bind_result { BOUND, TAKEN, FAILED };

// Binds fd at address; a socket file that nobody listens on any more is
// replaced, one that a live process listens on is left alone.
static bind_result bind_listener(int fd, const struct sockaddr_un *address)
{
    const struct sockaddr *name = reinterpret_cast<const struct sockaddr *>(address);
    if (fd != -1 && bind(fd, name, sizeof *address) == 0)
        return BOUND;
    if (fd == -1 || errno != EADDRINUSE)
        return FAILED;
    int probe = socket(AF_UNIX, SOCK_DGRAM, 0);
    bool live = connect(probe, name, sizeof *address) == 0;
    close(probe);
    if (live)
        return TAKEN;
    unlink(address->sun_path);
    return bind(fd, name, sizeof *address) == 0 ? BOUND : FAILED;
}

// The words of the eight priorities, as syslog.conf(5) names them.
static const char *const PRIORITIES[] = {"emerg",   "alert",  "crit", "error",
                                         "warning", "notice", "info", "debug"};

// Prints line[0..size) as "<PRI>Mmm dd hh:mm:ss IDENT: TEXT" comes from
// syslog(3): without the number, and with its priority after IDENT unless
// it is info. Anything else is printed as it came.
static void print_line(const char *line, int size)
{
    int priority = 0, header = 0;
    const char *rest = line;
    if (sscanf(line, "<%d>%n", &priority, &header) == 1 && header > 0 && header < size)
        rest = line + header;
    int rest_size = size - static_cast<int>(rest - line);
    // The name ends at the first ": " after the 16 characters of the time.
    const char *name_end =
        rest_size > 16 ? static_cast<const char *>(memmem(rest + 16, rest_size - 16, ": ", 2))
                       : nullptr;
    if (rest == line || !name_end || (priority & 7) == 6) {
        printf("%.*s\n", rest_size, rest);
        return;
    }
    int named = static_cast<int>(name_end - rest) + 2;
    printf("%.*s%s: %.*s\n", named, rest, PRIORITIES[priority & 7], rest_size - named,
           rest + named);
}

int main(int argc, char *argv[])
{
    const char *path = argc > 1 ? argv[1] : "/dev/log";
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        fprintf(stderr, "%s: path too long\n", path);
        return 1;
    }
    strcpy(address.sun_path, path);

    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    switch (bind_listener(fd, &address)) {
    case BOUND:
        break;
    case TAKEN:
        fprintf(stderr, "%s: a syslog daemon already listens there\n", path);
        return 3;
    case FAILED:
        perror(path);
        return 1;
    }
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_handler = request_stop; // no SA_RESTART: recv returns on a signal
    sigaction(SIGTERM, &action, nullptr);
    // Started in the background of a script, SIGINT is ignored: keep it so,
    // so that Ctrl-C stops the daemon and this listener still prints its
    // last lines.
    sigaction(SIGINT, nullptr, &previous);
    if (previous.sa_handler != SIG_IGN)
        sigaction(SIGINT, &action, nullptr);

    char line[8192];
    for (;;) {
        // Once asked to stop, print what is still queued, then end.
        ssize_t size = recv(fd, line, sizeof line - 1, stopping ? MSG_DONTWAIT : 0);
        if (size == -1 && stopping)
            break;
        if (size <= 0)
            continue;
        while (size > 0 && line[size - 1] == '\n')
            size--;
        line[size] = '\0';
        print_line(line, static_cast<int>(size));
        fflush(stdout);
    }
    close(fd);
    unlink(path);
    return 0;
}
