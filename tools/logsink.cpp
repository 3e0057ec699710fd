// Minimal system-log listener for hosts where no syslog daemon runs: binds
// a datagram socket at the given path (default /dev/log) and prints every
// line it receives on standard output until SIGINT or SIGTERM, then removes
// the socket again.

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
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == -1) {
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
