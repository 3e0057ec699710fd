#include "inbound.h"

#include "router.h"
#include "socket_table.h"
#include "spooler.h"
#include "statistics.h"

#include <cerrno>

// Frames that the inbound receiver takes per readiness. A batch spares a
// loop iteration and a poll per message; its bound keeps the UDP input from
// waiting longer than one batch.
static const int INBOUND_BATCH = 256;

// The loop polls the inbound socket by its descriptor (ZMQ_FD), as a plain
// one: a messaging socket in the poll set is asked for its events before
// and after every wait, whatever woke the loop, and each asking costs two
// system calls (the library's check for a fork and a poll of the socket's
// mailbox), more than a datagram's receive. The descriptor is readable while
// the socket has commands to process, the arrival of messages among them;
// it does not tell of messages that already wait, so the receiver takes
// them until none is left, or has itself called again where its batch ends
// first.
static zmq_pollitem_t inbound_pollitem = {nullptr, -1, ZMQ_POLLIN, 0};

// While the inbound socket has more than a batch waiting, a timer of no delay
// calls its receiver once at every turn of the loop (the loop then does not
// wait); -1 while there is none. A timer made afresh at every batch would
// fire within the same turn, batch after batch, and starve the UDP input.
static int inbound_timer = -1;

bool register_inbound(zloop_t *loop)
{
    inbound_pollitem.fd = zsock_fd(sockets[SUBSCRIBER_SOCKET]);
    if (zloop_poller(loop, &inbound_pollitem, subscriber_socket_handler, nullptr) == -1)
        return false;
    // By default the loop silently drops an input after two poll errors in
    // a row; the receiver reports every failed receive itself, and an input
    // must never stop being served.
    zloop_poller_set_tolerant(loop, &inbound_pollitem);
    return true;
}

void forget_inbound()
{
    inbound_timer = -1;
}

void unbind_inbound(int grace_msecs)
{
    char *bound = zsock_last_endpoint(sockets[SUBSCRIBER_SOCKET]);
    zsock_set_linger(sockets[SUBSCRIBER_SOCKET], grace_msecs);
    if (bound)
        zsock_unbind(sockets[SUBSCRIBER_SOCKET], "%s", bound);
    zstr_free(&bound);
}

int take_frames()
{
    void *inbound = socket_records[SUBSCRIBER_RECORD].resolved;
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    int taken = 0;
    while (taken < INBOUND_BATCH && zmq_msg_recv(&frame, inbound, ZMQ_DONTWAIT) != -1) {
        statistics.in_inbound++;
        send_frame(&frame);
        taken++;
    }
    int receive_errno = errno;
    zmq_msg_close(&frame);
    flush_spools();
    errno = receive_errno;
    return taken == 0 ? -1 : taken;
}

// Counts and logs a failed receive of the inbound socket; 1 for the loop.
static int report_inbound_failure()
{
    return receive_failed("subscriber_socket_handler", "zstr_recv", zmq_strerror(errno));
}

static int take_more_frames(zloop_t *loop, int, void *);

// Takes a batch of frames; keeps the timer while a full one leaves more.
static int take_inbound_batch(zloop_t *loop)
{
    int taken = take_frames();
    int receive_errno = errno;
    if (taken == INBOUND_BATCH && inbound_timer == -1)
        inbound_timer = zloop_timer(loop, 0, 0, take_more_frames, nullptr);
    else if (taken != INBOUND_BATCH && inbound_timer != -1) {
        zloop_timer_end(loop, inbound_timer);
        inbound_timer = -1;
    }
    errno = receive_errno;
    return taken;
}

static int take_more_frames(zloop_t *loop, int, void *)
{
    return take_inbound_batch(loop) != -1 || errno == EAGAIN ? 0 : report_inbound_failure();
}

int subscriber_socket_handler(zloop_t *loop, zmq_pollitem_t *, void *)
{
    // While the timer takes the backlog, it also processes what made the
    // descriptor readable; a second batch in the same turn would make the
    // UDP input wait for two.
    if (inbound_timer != -1)
        return 0;
    // Otherwise the last receive fails for want of frames, which leaves the
    // descriptor to tell of the next; a readiness without frames (for
    // another of the socket's commands) is one of them.
    if (take_inbound_batch(loop) != -1 || errno == EAGAIN)
        return 0;
    return report_inbound_failure();
}
