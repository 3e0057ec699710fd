// Preloaded into the daemon by tests to provoke what the kernel rarely does
// on demand. Each behaviour is chosen by an environment variable:
//   POLL_SHIM_DELAY_MS=N     sleep N ms (below 1000) before every poll,
//                            widening the gap between the loop's check for
//                            SIGINT/SIGTERM and its wait;
//   POLL_SHIM_FD_ERROR       report an error together with every readiness
//                            of a plain descriptor (the UDP socket);
//   POLL_SHIM_SPURIOUS_FD    report plain descriptors readable whenever a
//                            messaging socket is, data or not.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <zmq.h>

typedef int(poll_fn)(zmq_pollitem_t *, int, long);

int zmq_poll(zmq_pollitem_t *items, int nitems, long timeout)
{
    poll_fn *real_poll = (poll_fn *)dlsym(RTLD_NEXT, "zmq_poll");
    const char *delay = getenv("POLL_SHIM_DELAY_MS");
    struct timespec left = {0, delay ? atol(delay) * 1000000 : 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR)
        ; // the whole delay, even when a signal interrupts it
    int ready = real_poll(items, nitems, timeout);
    int socket_ready = 0;
    for (int i = 0; i < nitems && ready > 0; i++)
        socket_ready |= items[i].socket && (items[i].revents & ZMQ_POLLIN);
    for (int i = 0; i < nitems && ready > 0; i++) {
        if (items[i].socket)
            continue;
        if (getenv("POLL_SHIM_SPURIOUS_FD") && socket_ready && !items[i].revents) {
            items[i].revents = ZMQ_POLLIN;
            ready++;
        }
        if (getenv("POLL_SHIM_FD_ERROR") && (items[i].revents & ZMQ_POLLIN))
            items[i].revents |= ZMQ_POLLERR;
    }
    return ready;
}
