#include "router.h"

#include "handles.h"
#include "log.h"
#include "record.h"

#include <cerrno>
#include <cstring>

static const char GATEWAY_PREFIX[] = "#win ";
static const char RECORD_PREFIX[] = "#oldmp ";
static const char BACKYARD_PREFIX[] = "#jwin ";

// What the overflow latch logs for one message-processor queue.
struct queue_notices {
    const char *overflow;
    const char *exemption;
};

static const queue_notices RECORD_QUEUE = {"Overflow message processor queue!",
                                           "Exemption message processor queue!"};
static const queue_notices BACKYARD_QUEUE = {"Overflow message processor backyard queue!",
                                             "Exemption message processor backyard queue!"};

// Set while the message processors refuse messages. One latch serves both
// queues, so an overflow is reported once until a send to either succeeds.
static bool overflow_flag = false;

// True when text begins with the literal prefix, trailing space included.
// Compared byte by byte in line, where a call to strncmp would cost more
// than the comparison: a text shorter than the prefix differs at its NUL, so
// nothing past the text is read.
template <size_t N> static inline bool has_prefix(const char *text, const char (&prefix)[N])
{
    for (size_t i = 0; i < N - 1; i++)
        if (text[i] != prefix[i])
            return false;
    return true;
}

// Applies the overflow latch to the result of the last send attempted for
// one text; send_errno is errno right after a failed send.
static void latch_send_result(int rc, int send_errno, const queue_notices &queue)
{
    if (rc == 0) {
        if (overflow_flag) {
            log_line(LOG_ERR, "%s", queue.exemption);
            overflow_flag = false;
        }
    } else if (send_errno == EAGAIN) {
        if (!overflow_flag) {
            log_line(LOG_ERR, "%s", queue.overflow);
            overflow_flag = true;
        }
    } else {
        log_line(LOG_ERR, "%s: zframe_send: %d, %s", "send_data", send_errno,
                 zmq_strerror(send_errno));
    }
}

static void log_frame_failure()
{
    log_line(LOG_ERR, "%s: zframe_new: %d, %s", "send_data", errno, zmq_strerror(errno));
}

static void publish(int index, const char *text, const char *failure_format)
{
    if (zstr_send(sockets[index], text) == -1)
        log_line(LOG_ERR, failure_format, "send_data", errno, zmq_strerror(errno));
}

// Pushes text as one frame to the backyard message processor, never waiting.
static void send_backyard(const char *text)
{
    zframe_t *frame = zframe_new(text, strlen(text));
    if (!frame) {
        log_frame_failure();
        return;
    }
    int rc = zframe_send(&frame, msg_processor_backyard_sock, ZFRAME_DONTWAIT);
    latch_send_result(rc, errno, BACKYARD_QUEUE);
    zframe_destroy(&frame); // still ours after a failed send
}

// Checks and decodes a record text and pushes it, never waiting, to the
// message processor as two frames: the timestamp, then the payload.
static void send_record(char *str_data)
{
    size_t str_len = strlen(str_data);
    uint8_t timestamp[TIMESTAMP_SIZE];
    if (!decode_record_timestamp(str_data, str_len, timestamp))
        return;
    // The payload is decoded straight into its frame, sized for this record.
    zframe_t *frame_data = zframe_new(nullptr, record_data_size(str_len));
    if (!frame_data) {
        log_frame_failure();
        return;
    }
    if (!decode_record_payload(str_data, str_len, zframe_data(frame_data))) {
        zframe_destroy(&frame_data);
        return;
    }
    zframe_t *frame_timestamp = zframe_new(timestamp, TIMESTAMP_SIZE);
    if (!frame_timestamp) {
        log_frame_failure();
        zframe_destroy(&frame_data);
        return;
    }
    int rc = zframe_send(&frame_timestamp, msg_processor_sock, ZFRAME_MORE | ZFRAME_DONTWAIT);
    if (rc == 0)
        rc = zframe_send(&frame_data, msg_processor_sock, ZFRAME_DONTWAIT);
    latch_send_result(rc, errno, RECORD_QUEUE);
    zframe_destroy(&frame_timestamp);
    zframe_destroy(&frame_data);
}

void send_data(char *message)
{
    if (has_prefix(message, GATEWAY_PREFIX))
        publish(GATEWAYPUBLISHER_SOCKET, message + sizeof GATEWAY_PREFIX - 1,
                "%s: zstr_send (GATEWAYPUBLISHER_SOCKET): %d, %s");
    else if (has_prefix(message, RECORD_PREFIX))
        send_record(message + sizeof RECORD_PREFIX - 1);
    else if (has_prefix(message, BACKYARD_PREFIX))
        send_backyard(message + sizeof BACKYARD_PREFIX - 1);
    else
        publish(PUBLISHER_SOCKET, message, "%s: zstr_send (PUBLISHER_SOCKET): %d, %s");
}
