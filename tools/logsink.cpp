// Minimal system-log listener for hosts where no syslog daemon runs: binds
// a datagram socket at the given path (default /dev/log) and prints every
// line it receives on standard output until SIGINT or SIGTERM, then removes
// the socket again. Exits with 3 when a syslog daemon already listens there;
// a socket left behind by an earlier listener is replaced.

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
        ssize_t size = recv(fd, line, sizeof line, stopping ? MSG_DONTWAIT : 0);
        if (size == -1 && stopping)
            break;
        if (size <= 0)
            continue;
        while (size > 0 && line[size - 1] == '\n')
            size--;
        printf("%.*s\n", static_cast<int>(size), line);
        fflush(stdout);
    }
    close(fd);
    unlink(path);
    return 0;
}
