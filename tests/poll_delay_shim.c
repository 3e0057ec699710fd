// Preloaded into the daemon by the stop test: delays every zmq_poll call
// before it waits, widening the gap between the event loop's check for
// SIGINT/SIGTERM and its wait, so a signal reliably lands inside that gap.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <time.h>
#include <zmq.h>

#define DELAY_NSECS (50 * 1000 * 1000)

int zmq_poll(zmq_pollitem_t *items, int nitems, long timeout)
{
    static int (*real_poll)(zmq_pollitem_t *, int, long);
    if (!real_poll)
        real_poll = (int (*)(zmq_pollitem_t *, int, long))dlsym(RTLD_NEXT, "zmq_poll");
    // Sleep the whole delay even when a signal interrupts it.
    struct timespec delay = {0, DELAY_NSECS};
    while (nanosleep(&delay, &delay) == -1 && errno == EINTR)
        ;
    return real_poll(items, nitems, timeout);
}
