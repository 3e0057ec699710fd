#include "router.h"

#include "latch.h"
#include "log.h"
#include "record.h"
#include "socket_table.h"
#include "spooler.h"
#include "statistics.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>

static const char GATEWAY_PREFIX[] = "#win ";
static const char RECORD_PREFIX[] = "#oldmp ";
static const char BACKYARD_PREFIX[] = "#jwin ";

// Records that fill a frame lack only a NUL terminator: they are copied
// here with one, or into an area of their own where they are longer.
static char record_text[64 * 1024];

// True when text[0..length) begins with the literal prefix, trailing space
// included. Compared byte by byte in line, where a call to memcmp would cost
// more than the comparison.
template <size_t N>
static inline bool has_prefix(const char *text, size_t length, const char (&prefix)[N])
{
    if (length < N - 1)
        return false;
    for (size_t i = 0; i < N - 1; i++)
        if (text[i] != prefix[i])
            return false;
    return true;
}

// Settles what became of one text, frames, for the processor of record,
// where the last send attempted for it returned rc, errno as that send left
// it: sent; handed to the processor's spool where its socket refused it and
// it has one; or dropped. Either goes through the overflow latch, but for a
// send that failed for another reason than a refusal.
static inline void settle(int rc, socket_record *record, const spool_frames *frames)
{
    if (rc != -1) {
        (*record->sent)++;
        latch_taken(record);
    } else if (errno == EAGAIN && record->spool) {
        spool_text(record, frames);
    } else if (errno == EAGAIN) {
        (*record->refused)++;
        latch_dropped(record);
    } else {
        statistics.drop_send++;
        log_line(LOG_ERR, "%s: zframe_send: %d, %s", "send_data", errno, zmq_strerror(errno));
    }
}

// A socket that is only ever sent on learns how far its peers have read
// (the activate_write commands of its I/O thread) only when it processes its
// commands: inside zmq_send at most about once a millisecond, or at once
// when its events are read. In between, a pipe that its reader has long
// emptied still looks full: a PUSH socket refuses, and a PUB socket marks
// the pipe full and drops every text for it until the next check, although
// the peer keeps up. At 300,000 texts a second, 1.2 to 1.8 % were lost that
// way. Measured: reading the events before every send loses nothing but
// doubles the cost of relaying (a system call per text); reading them only
// after a refusal, and sending once more, costs nothing while the outputs
// keep up. The publishers refuse rather than drop (see socket_table.h) so that
// they are treated alike.
static void take_commands(void *socket)
{
    int events;
    size_t size = sizeof events;
    zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size);
}

// After a send refused three times over, the peer really is behind or away:
// so many further refusals of the same socket, until one of its sends
// succeeds, are taken as they come, without the system calls of the
// retries. Meanwhile the throttled check in zmq_send keeps the socket's view
// of its pipes fresh.
static const unsigned RETRY_BACKOFF = 64;

// Calls send, which sends one message on the socket of record without waiting
// and returns zmq_send's result. Where the socket refuses it (EAGAIN), takes
// the socket's pending commands and calls send again; where it still refuses, the pipe
// is full of messages that the I/O thread has not yet written out: that
// thread often shares this core and is only waiting for it (a backlog
// taken at full speed outruns it), so the core is offered to it once, and
// send is called a last time. Returns the last result, errno as that send
// left it.
template <typename Send>
static inline int send_once_more_if_refused(socket_record *record, Send send)
{
    void *socket = record->resolved;
    unsigned *backoff = &record->backoff;
    int rc = send();
    if (rc != -1) {
        *backoff = 0;
        return rc;
    }
    if (errno != EAGAIN)
        return rc;
    if (*backoff > 0) {
        (*backoff)--;
        return rc;
    }
    take_commands(socket);
    rc = send();
    if (rc != -1 || errno != EAGAIN)
        return rc;
    sched_yield();
    take_commands(socket);
    rc = send();
    if (rc == -1 && errno == EAGAIN)
        *backoff = RETRY_BACKOFF;
    return rc;
}

// Publishes one message with send, as send_once_more_if_refused. Where a
// subscriber's queue really is full, the message goes out as a plain PUB
// sends it: to every subscriber with room, dropped for the full one, which
// the socket then leaves out until its reader has made room.
template <typename Send> static inline int publish(socket_record *record, Send send)
{
    void *publisher = record->resolved;
    int rc = send_once_more_if_refused(record, send);
    if (rc != -1 || errno != EAGAIN)
        return rc;
    int lossy = 0, refusing = 1;
    zmq_setsockopt(publisher, ZMQ_XPUB_NODROP, &lossy, sizeof lossy);
    rc = send();
    int send_errno = errno;
    zmq_setsockopt(publisher, ZMQ_XPUB_NODROP, &refusing, sizeof refusing);
    errno = send_errno;
    return rc;
}

// Drops a record whose message could not be made.
static void drop_unmade_record()
{
    statistics.drop_send++;
    log_line(LOG_ERR, "%s: zframe_new: %d, %s", "send_data", errno, zmq_strerror(errno));
}

// Drops a text that could not be published.
static void drop_unpublished(const char *failure_format)
{
    statistics.drop_send++;
    log_line(LOG_ERR, failure_format, "send_data", errno, zmq_strerror(errno));
}

// Counts the result rc of publishing one text on the socket of record, or
// drops the text.
static inline void count_published(int rc, const char *failure_format, const socket_record *record)
{
    if (rc != -1)
        (*record->sent)++;
    else
        drop_unpublished(failure_format);
}

static const char PUBLISHER_FAILURE[] = "%s: zstr_send (PUBLISHER_SOCKET): %d, %s";
static const char GATEWAY_FAILURE[] = "%s: zstr_send (GATEWAYPUBLISHER_SOCKET): %d, %s";

// Pushes text[0..length) as one frame to the backyard message processor,
// never waiting.
static void send_backyard(const char *text, size_t length)
{
    socket_record *backyard = &socket_records[BACKYARD_RECORD];
    spool_frames frames = {{reinterpret_cast<const uint8_t *>(text)}, {length}, 1};
    if (backyard->spooling) { // it waits behind the spool
        spool_text(backyard, &frames);
        return;
    }
    int rc = send_once_more_if_refused(
        backyard, [&] { return zmq_send(backyard->resolved, text, length, ZMQ_DONTWAIT); });
    settle(rc, backyard, &frames);
}

// Checks and decodes the NUL-terminated record text str_data of str_len
// characters and pushes it, never waiting, to the message processor as two
// frames: the timestamp, then the payload.
static void send_record(char *str_data, size_t str_len)
{
    uint8_t timestamp[TIMESTAMP_SIZE];
    if (!decode_record_timestamp(str_data, str_len, timestamp)) {
        statistics.drop_record++;
        return;
    }
    // The payload is decoded straight into its frame, sized for this record.
    zmq_msg_t payload;
    if (zmq_msg_init_size(&payload, record_data_size(str_len)) == -1) {
        drop_unmade_record();
        return;
    }
    socket_record *processor = &socket_records[PROCESSOR_RECORD];
    uint8_t *data = static_cast<uint8_t *>(zmq_msg_data(&payload));
    spool_frames frames = {{timestamp, data}, {TIMESTAMP_SIZE, record_data_size(str_len)}, 2};
    if (!decode_record_payload(str_data, str_len, data)) {
        statistics.drop_record++;
    } else if (processor->spooling) { // it waits behind the spool
        spool_text(processor, &frames);
    } else {
        // Only the first frame can be refused: the rest of a message always
        // follows it into the same pipe.
        int rc = send_once_more_if_refused(processor, [&] {
            return zmq_send(processor->resolved, timestamp, TIMESTAMP_SIZE,
                            ZMQ_SNDMORE | ZMQ_DONTWAIT);
        });
        if (rc != -1)
            rc = zmq_msg_send(&payload, processor->resolved, ZMQ_DONTWAIT);
        settle(rc, processor, &frames);
    }
    zmq_msg_close(&payload); // still ours unless it was sent
}

// A record that is all of a frame: the same, from a NUL-terminated copy.
static void send_record_copy(const char *str_data, size_t str_len)
{
    char *text =
        str_len < sizeof record_text ? record_text : static_cast<char *>(malloc(str_len + 1));
    if (!text) {
        drop_unmade_record();
        return;
    }
    memcpy(text, str_data, str_len);
    text[str_len] = '\0';
    send_record(text, str_len);
    if (text != record_text)
        free(text);
}

// Routes text[0..length), which holds no NUL byte. whole, when given, is a
// frame that holds exactly these bytes, so that text is not NUL-terminated
// and a text for the publisher can leave as that very frame; otherwise text
// is NUL-terminated and may be written to.
static void route(char *text, size_t length, zmq_msg_t *whole)
{
    if (has_prefix(text, length, GATEWAY_PREFIX)) {
        socket_record *gateway = &socket_records[GATEWAYPUBLISHER_RECORD];
        const char *rest = text + sizeof GATEWAY_PREFIX - 1;
        size_t rest_length = length - (sizeof GATEWAY_PREFIX - 1);
        count_published(
            publish(gateway,
                    [&] { return zmq_send(gateway->resolved, rest, rest_length, ZMQ_DONTWAIT); }),
            GATEWAY_FAILURE, gateway);
    } else if (has_prefix(text, length, RECORD_PREFIX)) {
        char *record = text + sizeof RECORD_PREFIX - 1;
        size_t record_length = length - (sizeof RECORD_PREFIX - 1);
        if (whole)
            send_record_copy(record, record_length);
        else
            send_record(record, record_length);
    } else if (has_prefix(text, length, BACKYARD_PREFIX)) {
        send_backyard(text + sizeof BACKYARD_PREFIX - 1, length - (sizeof BACKYARD_PREFIX - 1));
    } else {
        socket_record *publisher = &socket_records[PUBLISHER_RECORD];
        void *socket = publisher->resolved;
        count_published(publish(publisher,
                                [&] {
                                    return whole ? zmq_msg_send(whole, socket, ZMQ_DONTWAIT)
                                                 : zmq_send(socket, text, length, ZMQ_DONTWAIT);
                                }),
                        PUBLISHER_FAILURE, publisher);
    }
}

void send_data(char *message)
{
    route(message, strlen(message), nullptr);
}

void send_frame(zmq_msg_t *frame)
{
    char *data = static_cast<char *>(zmq_msg_data(frame));
    size_t size = zmq_msg_size(frame);
    // A text ends at its first NUL byte; where the frame holds one, the text
    // is NUL-terminated in place.
    const char *nul = static_cast<const char *>(memchr(data, '\0', size));
    if (nul)
        route(data, static_cast<size_t>(nul - data), nullptr);
    else
        route(data, size, frame);
}
