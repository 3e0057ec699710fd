// Process entry and lifecycle of vostrelld: system log, command line,
// configuration, endpoints, event loop, pid file, teardown.

#include "access.h"
#include "config.h"
#include "log.h"
#include "loop.h"
#include "metrics.h"
#include "notify.h"
#include "sockets.h"
#include "spooler.h"
#include "sw-version.h"
#include "udp.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static void log_start_line()
{
    int zmq_major, zmq_minor, zmq_patch;
    int czmq_major, czmq_minor, czmq_patch;
    zmq_version(&zmq_major, &zmq_minor, &zmq_patch);
    zsys_version(&czmq_major, &czmq_minor, &czmq_patch);
    log_line(LOG_INFO, "Starting %s, ZMQ version %d.%d.%d, CZMQ version %d.%d.%d",
             SW_VERSION_STRING, zmq_major, zmq_minor, zmq_patch, czmq_major, czmq_minor,
             czmq_patch);
}

static bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written == -1) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Writes the process id, in decimal and without a newline, into the file
// named by "/pidfile", replacing whatever it held. A symbolic link there is
// never followed: in a directory that others may write, it could point the
// daemon at any file.
static bool create_pidfile()
{
    const char *path = config_strings[PIDFILE_STR].value;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd == -1) {
        log_line(LOG_ERR, "unable to create pid file %s, code=%d (%s)", path, errno,
                 strerror(errno));
        return false;
    }
    char pid_text[16];
    int length = snprintf(pid_text, sizeof pid_text, "%d", static_cast<int>(getpid()));
    bool written = write_all(fd, pid_text, static_cast<size_t>(length));
    int write_errno = errno;
    if (close(fd) == -1 && written) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        log_line(LOG_ERR, "unable to write pid file %s, code=%d (%s)", path, write_errno,
                 strerror(write_errno));
        return false;
    }
    return true;
}

// Releases the metrics endpoint, the loop, every endpoint, the spools, the
// authenticator and the configuration, in that order.
static void destroy_all()
{
    destroy_metrics();
    destroy_reactor();
    destroy_sockets();
    destroy_spools();
    destroy_access();
    destroy_config();
}

// Everything between opening and closing the log; the exit status.
static int run(int argc, char *argv[])
{
    log_start_line();

    const char *config_file = nullptr;
    int option;
    while ((option = getopt(argc, argv, "c:")) != -1) {
        if (option != 'c') {
            printf("Usage: %s [-c config_file]\n", argv[0]);
            return 1;
        }
        config_file = optarg;
    }
    if (!config_file) {
        log_line(LOG_ERR, "The configuration file is not defined!\n");
        return 1;
    }
    // Standard output is reserved for the usage line; the messaging library
    // prints its own diagnostics there, so from now on they go to stderr.
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);

    if (!create_config(config_file))
        return 1;
    // SIGUSR1 asks for the statistics line, which the loop logs when it reads
    // the signal from a descriptor. Blocked before the messaging library
    // and the authenticator start their threads, which inherit the mask, it
    // never ends the process and never interrupts the loop's wait.
    sigset_t requests;
    sigemptyset(&requests);
    sigaddset(&requests, SIGUSR1);
    sigprocmask(SIG_BLOCK, &requests, nullptr);
    notify_open();
    if (!create_spools() || !create_access() || !create_sockets() || !create_reactor() ||
        !create_metrics() || !create_pidfile()) {
        destroy_all();
        return 1;
    }
    char listening[1024];
    describe_endpoints(listening, sizeof listening);
    store_udp_socket();
    notify_ready(listening);
    zloop_start(reactor);
    notify_stopping();
    deliver_what_was_taken(
        static_cast<int>(optional_number(STOP_GRACE_STR, DEFAULT_STOP_GRACE_MSECS)));
    save_spools();
    destroy_all();
    // Ending the library waits out the outputs' linger: what they still
    // queue goes to the peers that are up, within the grace.
    zsys_shutdown();
    log_line(LOG_INFO, "Exiting");
    return 0;
}

int main(int argc, char *argv[])
{
    log_open("vostrelld", LOG_USER);
    int status = run(argc, argv);
    log_close();
    return status;
}
