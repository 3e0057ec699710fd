#include "socket_table.h"

#include "config.h"
#include "statistics.h"

#include <cstring>

zsock_t *sockets[SOCKET_COUNT] = {nullptr, nullptr, nullptr};
zsock_t *msg_processor_sock = nullptr;
zsock_t *msg_processor_backyard_sock = nullptr;

socket_record socket_records[RECORD_COUNT] = {
    {.handle = &sockets[SUBSCRIBER_SOCKET],
     .type = sockets_type[SUBSCRIBER_SOCKET],
     .endpoint_key = SUBSCRIBER_STR,
     .queue_key = QUEUE_SUBSCRIBER_STR,
     .label = "inbound"},
    {.handle = &sockets[PUBLISHER_SOCKET],
     .type = sockets_type[PUBLISHER_SOCKET],
     .endpoint_key = PUBLISHER_STR,
     .queue_key = QUEUE_PUBLISHER_STR,
     .label = "publisher",
     .sent = &statistics.out_publisher},
    {.handle = &sockets[GATEWAYPUBLISHER_SOCKET],
     .type = sockets_type[GATEWAYPUBLISHER_SOCKET],
     .endpoint_key = GATEWAYPUBLISHER_STR,
     .queue_key = QUEUE_GATEWAYPUBLISHER_STR,
     .label = "gateway",
     .sent = &statistics.out_gateway},
    {.handle = &msg_processor_sock,
     .type = ZMQ_PUSH,
     .endpoint_key = MESSAGE_PROCESSOR_STR,
     .queue_key = QUEUE_PROCESSOR_STR,
     .label = "processor",
     .certificate_key = CURVE_PROCESSOR_STR,
     .spool_key = SPOOL_PROCESSOR_STR,
     .overflow = "Overflow message processor queue!",
     .exemption = "Exemption message processor queue!",
     .spool_start = "Spooling message processor queue!",
     .spool_end = "Spool of message processor queue replayed!",
     .sent = &statistics.out_processor,
     .refused = &statistics.drop_processor,
     .made = &statistics.made_processor,
     .lost = &statistics.lost_processor,
     .spool_counts = {&statistics.spooled_processor, &statistics.replayed_processor,
                      &statistics.held_processor, &statistics.held_bytes_processor,
                      &statistics.damaged_processor}},
    {.handle = &msg_processor_backyard_sock,
     .type = ZMQ_PUSH,
     .endpoint_key = MESSAGE_PROCESSOR_BACKYARD_STR,
     .queue_key = QUEUE_BACKYARD_STR,
     .label = "backyard",
     .certificate_key = CURVE_BACKYARD_STR,
     .spool_key = SPOOL_BACKYARD_STR,
     .overflow = "Overflow message processor backyard queue!",
     .exemption = "Exemption message processor backyard queue!",
     .spool_start = "Spooling message processor backyard queue!",
     .spool_end = "Spool of message processor backyard queue replayed!",
     .sent = &statistics.out_backyard,
     .refused = &statistics.drop_backyard,
     .made = &statistics.made_backyard,
     .lost = &statistics.lost_backyard,
     .spool_counts = {&statistics.spooled_backyard, &statistics.replayed_backyard,
                      &statistics.held_backyard, &statistics.held_bytes_backyard,
                      &statistics.damaged_backyard}},
};

void resolve_sockets()
{
    for (socket_record &record : socket_records)
        record.resolved = *record.handle ? zsock_resolve(*record.handle) : nullptr;
}

void reset_socket_records()
{
    for (socket_record &record : socket_records) {
        record.queue_depth = 0;
        memset(record.server_key, 0, sizeof record.server_key);
        record.server_key_known = false;
        record.resolved = nullptr;
        record.backoff = 0;
        record.watch.watched = nullptr;
        record.watch.reader = nullptr;
        record.watch.polled = false;
    }
}
