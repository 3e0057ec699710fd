// Preloaded into the daemon by tests to provoke what the kernel rarely does
// on demand. Each behaviour is chosen by an environment variable:
//   POLL_SHIM_DELAY_MS=N     sleep N ms (below 1000) before every poll,
//                            widening the gap between the loop's check for
//                            SIGINT/SIGTERM and its wait;
//   POLL_SHIM_FD_ERROR       report an error together with every readiness
//                            of a plain descriptor (the UDP socket);
//   POLL_SHIM_SPURIOUS_FD    report plain descriptors readable whenever a
//                            messaging socket is, data or not;
//   POLL_SHIM_HOLD=PATH      wait before every poll while PATH exists, so
//                            that the inputs build up a backlog; PATH.held
//                            exists while it waits, PATH.ready once
//                            POLL_SHIM_READY=N inputs have something.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <zmq.h>

typedef int(poll_fn)(zmq_pollitem_t *, int, long);

int zmq_poll(zmq_pollitem_t *items, int nitems, long timeout)
{
    poll_fn *real_poll = (poll_fn *)dlsym(RTLD_NEXT, "zmq_poll");
    const char *delay = getenv("POLL_SHIM_DELAY_MS");
    struct timespec left = {0, delay ? atol(delay) * 1000000 : 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR)
        ; // the whole delay, even when a signal interrupts it
    const char *hold = getenv("POLL_SHIM_HOLD");
    if (hold && access(hold, F_OK) == 0) {
        char held[4096], ready[4096];
        snprintf(held, sizeof held, "%s.held", hold);
        snprintf(ready, sizeof ready, "%s.ready", hold);
        close(creat(held, 0600));
        long inputs = getenv("POLL_SHIM_READY") ? atol(getenv("POLL_SHIM_READY")) : nitems + 1;
        struct timespec pause = {0, 1000000};
        while (access(hold, F_OK) == 0) {
            if (real_poll(items, nitems, 0) >= inputs)
                close(creat(ready, 0600));
            nanosleep(&pause, NULL);
        }
        unlink(held);
        unlink(ready);
    }
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
