#include "socket_table.h"

#include "config.h"
#include "statistics.h"

#include <cstring>

zsock_t *sockets[SOCKET_COUNT] = {nullptr, nullptr, nullptr};
zsock_t *msg_processor_sock = nullptr;
zsock_t *msg_processor_backyard_sock = nullptr;

socket_record socket_records[RECORD_COUNT] = {
    {&sockets[SUBSCRIBER_SOCKET], sockets_type[SUBSCRIBER_SOCKET], SUBSCRIBER_STR,
     QUEUE_SUBSCRIBER_STR, "inbound", -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {&sockets[PUBLISHER_SOCKET], sockets_type[PUBLISHER_SOCKET], PUBLISHER_STR, QUEUE_PUBLISHER_STR,
     "publisher", -1, nullptr, nullptr, &statistics.out_publisher, nullptr, nullptr, nullptr},
    {&sockets[GATEWAYPUBLISHER_SOCKET], sockets_type[GATEWAYPUBLISHER_SOCKET], GATEWAYPUBLISHER_STR,
     QUEUE_GATEWAYPUBLISHER_STR, "gateway", -1, nullptr, nullptr, &statistics.out_gateway, nullptr,
     nullptr, nullptr},
    {&msg_processor_sock, ZMQ_PUSH, MESSAGE_PROCESSOR_STR, QUEUE_PROCESSOR_STR, "processor",
     CURVE_PROCESSOR_STR, "Overflow message processor queue!", "Exemption message processor queue!",
     &statistics.out_processor, &statistics.drop_processor, &statistics.made_processor,
     &statistics.lost_processor},
    {&msg_processor_backyard_sock, ZMQ_PUSH, MESSAGE_PROCESSOR_BACKYARD_STR, QUEUE_BACKYARD_STR,
     "backyard", CURVE_BACKYARD_STR, "Overflow message processor backyard queue!",
     "Exemption message processor backyard queue!", &statistics.out_backyard,
     &statistics.drop_backyard, &statistics.made_backyard, &statistics.lost_backyard},
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
