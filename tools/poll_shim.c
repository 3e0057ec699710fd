// Preloaded into the daemon by tests, to provoke what the kernel rarely does
// on demand, and by benchmarks, to hold the loop while a backlog builds up.
// Each behaviour is chosen by an environment variable:
//   POLL_SHIM_FD_ERROR       report an error together with every readiness
//                            of the UDP socket;
//   POLL_SHIM_SPURIOUS_FD    report the UDP socket readable whenever a
//                            messaging socket is, data or not;
//   POLL_SHIM_HOLD=PATH      wait before every poll while PATH exists,
//                            between the loop's check for SIGINT/SIGTERM and
//                            its wait, or while the inputs build up a
//                            backlog; PATH.held exists while it waits,
//                            PATH.ready once POLL_SHIM_READY=N inputs have
//                            something.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <zmq.h>

typedef int(poll_fn)(zmq_pollitem_t *, int, long);
typedef int(getsockopt_fn)(void *, int, void *, size_t *);

// Read once, at the first poll, so that a poll costs little more than the
// real one (benchmarks count its instructions). Only the loop's thread polls.
static poll_fn *real_poll;
static const char *hold;
static long ready_inputs;
static int spurious_fd, fd_error;

static void read_settings(void)
{
    real_poll = (poll_fn *)dlsym(RTLD_NEXT, "zmq_poll");
    hold = getenv("POLL_SHIM_HOLD");
    ready_inputs = getenv("POLL_SHIM_READY") ? atol(getenv("POLL_SHIM_READY")) : -1;
    spurious_fd = getenv("POLL_SHIM_SPURIOUS_FD") != NULL;
    fd_error = getenv("POLL_SHIM_FD_ERROR") != NULL;
}

// A messaging socket is polled as such or by its descriptor (ZMQ_FD), an
// eventfd; the UDP socket is the datagram socket among the descriptors.
static int is_udp(const zmq_pollitem_t *item)
{
    int type = 0;
    socklen_t length = sizeof type;
    return !item->socket && getsockopt(item->fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
           type == SOCK_DGRAM;
}

// The messaging socket of each descriptor that ZMQ_FD gave out.
static void *sockets_by_fd[4096];

int zmq_getsockopt(void *socket, int option, void *value, size_t *length)
{
    static getsockopt_fn *real_getsockopt;
    if (!real_getsockopt)
        real_getsockopt = (getsockopt_fn *)dlsym(RTLD_NEXT, "zmq_getsockopt");
    int rc = real_getsockopt(socket, option, value, length);
    if (rc == 0 && option == ZMQ_FD && *(int *)value >= 0 && *(int *)value < 4096)
        sockets_by_fd[*(int *)value] = socket;
    return rc;
}

// True where the item is a messaging socket with a message to read,
// whether polled as such or by its descriptor. The descriptor is readable
// for any of the socket's commands, so the socket itself is asked.
static int has_message(const zmq_pollitem_t *item)
{
    int events = 0;
    size_t length = sizeof events;
    void *socket = item->socket;
    if (!socket && item->fd >= 0 && item->fd < 4096)
        socket = sockets_by_fd[item->fd];
    if (!socket || !(item->revents & ZMQ_POLLIN))
        return 0;
    return item->socket ||
           (zmq_getsockopt(socket, ZMQ_EVENTS, &events, &length) == 0 && (events & ZMQ_POLLIN));
}

// Waits while the hold file exists, telling by PATH.held and PATH.ready.
static void wait_while_held(zmq_pollitem_t *items, int nitems)
{
    char held[4096], ready[4096];
    snprintf(held, sizeof held, "%s.held", hold);
    snprintf(ready, sizeof ready, "%s.ready", hold);
    close(creat(held, 0600));
    struct timespec pause = {0, 1000000};
    while (access(hold, F_OK) == 0) {
        if (ready_inputs >= 0 && real_poll(items, nitems, 0) >= ready_inputs)
            close(creat(ready, 0600));
        nanosleep(&pause, NULL);
    }
    unlink(held);
    unlink(ready);
}

int zmq_poll(zmq_pollitem_t *items, int nitems, long timeout)
{
    if (!real_poll)
        read_settings();
    if (hold && access(hold, F_OK) == 0)
        wait_while_held(items, nitems);
    int ready = real_poll(items, nitems, timeout);
    int socket_ready = 0;
    for (int i = 0; i < nitems && ready > 0 && (spurious_fd || fd_error); i++)
        socket_ready |= has_message(&items[i]);
    for (int i = 0; i < nitems && ready > 0 && (spurious_fd || fd_error); i++) {
        if (!is_udp(&items[i]))
            continue;
        if (spurious_fd && socket_ready && !items[i].revents) {
            items[i].revents = ZMQ_POLLIN;
            ready++;
        }
        if (fd_error && (items[i].revents & ZMQ_POLLIN))
            items[i].revents |= ZMQ_POLLERR;
    }
    return ready;
}
