// Preloaded into the daemon by tests to provoke what the kernel rarely does
// on demand. Each behaviour is chosen by an environment variable:
//   POLL_SHIM_DELAY_MS=N     sleep N ms before every poll, widening the gap
//                            between the loop's check for SIGINT/SIGTERM and
//                            its wait;
//   POLL_SHIM_FD_ERROR=1     report an error together with every readiness
//                            of a plain descriptor (the UDP socket);
//   POLL_SHIM_SPURIOUS_FD=1  report plain descriptors readable whenever a
//                            messaging socket is, data or not.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <zmq.h>

typedef int(poll_fn)(zmq_pollitem_t *, int, long);

static long env_number(const char *name)
{
    const char *value = getenv(name);
    return value ? strtol(value, NULL, 10) : 0;
}

static void sleep_ms(long msecs)
{
    struct timespec delay = {msecs / 1000, msecs % 1000 * 1000000};
    while (nanosleep(&delay, &delay) == -1 && errno == EINTR)
        ; // the whole delay, even when a signal interrupts it
}

int zmq_poll(zmq_pollitem_t *items, int nitems, long timeout)
{
    poll_fn *real_poll = (poll_fn *)dlsym(RTLD_NEXT, "zmq_poll");
    long delay = env_number("POLL_SHIM_DELAY_MS");
    if (delay > 0)
        sleep_ms(delay);
    int ready = real_poll(items, nitems, timeout);
    if (ready <= 0)
        return ready;
    int socket_ready = 0;
    for (int i = 0; i < nitems; i++)
        socket_ready |= items[i].socket && (items[i].revents & ZMQ_POLLIN);
    for (int i = 0; i < nitems; i++) {
        if (items[i].socket)
            continue;
        if (env_number("POLL_SHIM_SPURIOUS_FD") && socket_ready && !items[i].revents) {
            items[i].revents = ZMQ_POLLIN;
            ready++;
        }
        if (env_number("POLL_SHIM_FD_ERROR") && (items[i].revents & ZMQ_POLLIN))
            items[i].revents |= ZMQ_POLLERR;
    }
    return ready;
}
