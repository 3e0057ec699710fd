// The relay at its leanest: the daemon's endpoints and event loop, one
// message taken per readiness, and for every message only the calls that
// its route needs on the wire. It knows the route in advance, so it neither
// looks at prefixes nor logs anything. Benchmarks run the daemon beside it
// to show what the daemon's own code costs. With -d it drains instead: up
// to a batch of messages per readiness, as the daemon takes them.
//
//   vostrelld-ceiling -c CONFIG -r plain|gateway|backyard|record [-d]
//
// It reads the daemon's configuration file, binds and attaches what the
// daemon would, writes the pid file once it is up and runs until SIGINT or
// SIGTERM. Texts from both inputs take the one route named by -r.

#include <czmq.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

enum route_t { PLAIN, GATEWAY, BACKYARD, RECORD };

const size_t GATEWAY_PREFIX_LENGTH = 5;  // "#win "
const size_t BACKYARD_PREFIX_LENGTH = 6; // "#jwin "
const size_t RECORD_PREFIX_LENGTH = 7;   // "#oldmp "
const size_t TIMESTAMP_SIZE = 6;
const size_t PAYLOAD_OFFSET = 13;
const int UDP_AREA_SIZE = 65507;
const int INBOUND_BATCH = 256; // as the daemon's
const int UDP_BATCH = 64;

route_t route = PLAIN;
bool drain = false;
zsock_t *inbound = nullptr;
zsock_t *publisher = nullptr;
zsock_t *gateway = nullptr;
zsock_t *processor = nullptr;
zsock_t *backyard = nullptr;
int udp_fd = -1;
int udp_buffer_size = 2048;

// Value of every hex digit; any other byte reads as 0, unchecked.
struct hex_table {
    uint8_t value[256];
    constexpr hex_table() : value()
    {
        for (int digit = 0; digit < 10; digit++)
            value['0' + digit] = static_cast<uint8_t>(digit);
        for (int digit = 0; digit < 6; digit++)
            value['a' + digit] = value['A' + digit] = static_cast<uint8_t>(10 + digit);
    }
};
constexpr hex_table hex;

void decode_pairs(const char *digits, uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        bytes[i] = static_cast<uint8_t>(hex.value[static_cast<unsigned char>(digits[2 * i])] << 4 |
                                        hex.value[static_cast<unsigned char>(digits[2 * i + 1])]);
}

// One record as the message processor receives it; no checks beyond what
// keeps memory safe.
void send_record(const char *record)
{
    size_t length = strlen(record);
    if (length < PAYLOAD_OFFSET)
        return;
    uint8_t timestamp[TIMESTAMP_SIZE];
    decode_pairs(record, timestamp, TIMESTAMP_SIZE);
    size_t data_size = (length - PAYLOAD_OFFSET) / 2;
    zframe_t *data = zframe_new(nullptr, data_size);
    decode_pairs(record + PAYLOAD_OFFSET, zframe_data(data), data_size);
    zframe_t *stamp = zframe_new(timestamp, TIMESTAMP_SIZE);
    if (zframe_send(&stamp, processor, ZFRAME_MORE | ZFRAME_DONTWAIT) == 0)
        zframe_send(&data, processor, ZFRAME_DONTWAIT);
    zframe_destroy(&stamp);
    zframe_destroy(&data);
}

void relay(char *text)
{
    switch (route) {
    case PLAIN:
        zstr_send(publisher, text);
        return;
    case GATEWAY:
        zstr_send(gateway, text + GATEWAY_PREFIX_LENGTH);
        return;
    case BACKYARD: {
        const char *rest = text + BACKYARD_PREFIX_LENGTH;
        zframe_t *frame = zframe_new(rest, strlen(rest));
        zframe_send(&frame, backyard, ZFRAME_DONTWAIT);
        zframe_destroy(&frame);
        return;
    }
    case RECORD:
        send_record(text + RECORD_PREFIX_LENGTH);
        return;
    }
}

// The next message if one is waiting already, as a text that zstr_free
// releases; null when none is.
char *receive_waiting()
{
    zmq_msg_t message;
    zmq_msg_init(&message);
    char *text = nullptr;
    if (zmq_msg_recv(&message, zsock_resolve(inbound), ZMQ_DONTWAIT) != -1) {
        size_t size = zmq_msg_size(&message);
        text = static_cast<char *>(malloc(size + 1));
        memcpy(text, zmq_msg_data(&message), size);
        text[size] = '\0';
    }
    zmq_msg_close(&message);
    return text;
}

int inbound_ready(zloop_t *, zsock_t *, void *)
{
    for (int taken = 0; taken < (drain ? INBOUND_BATCH : 1); taken++) {
        char *text = taken == 0 ? zstr_recv(inbound) : receive_waiting();
        if (!text)
            break;
        relay(text);
        zstr_free(&text);
    }
    return 0;
}

int udp_ready(zloop_t *, zmq_pollitem_t *, void *)
{
    char buffer[UDP_AREA_SIZE + 1];
    struct sockaddr_in sender;
    socklen_t sender_length = sizeof sender;
    ssize_t received = recvfrom(udp_fd, buffer, udp_buffer_size, MSG_DONTWAIT,
                                reinterpret_cast<struct sockaddr *>(&sender), &sender_length);
    if (received > 0) {
        buffer[received] = '\0';
        relay(buffer);
    }
    return 0;
}

// Up to a batch of datagrams per readiness, in one call.
int udp_drain(zloop_t *, zmq_pollitem_t *, void *)
{
    static char areas[UDP_BATCH][UDP_AREA_SIZE + 1];
    struct mmsghdr messages[UDP_BATCH];
    struct iovec vectors[UDP_BATCH];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < UDP_BATCH; i++) {
        vectors[i] = {areas[i], static_cast<size_t>(udp_buffer_size)};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int received = recvmmsg(udp_fd, messages, UDP_BATCH, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < received; i++) {
        if (messages[i].msg_len == 0)
            continue;
        areas[i][messages[i].msg_len] = '\0';
        relay(areas[i]);
    }
    return 0;
}

const char *value(zconfig_t *config, const char *key)
{
    const char *text = zconfig_get(config, key, nullptr);
    if (!text)
        fprintf(stderr, "vostrelld-ceiling: %s missing\n", key);
    return text;
}

zsock_t *bound(int type, const char *endpoint)
{
    zsock_t *socket = zsock_new(type);
    if (socket && zsock_bind(socket, "%s", endpoint) == -1)
        zsock_destroy(&socket);
    if (socket) {
        zsock_set_sndtimeo(socket, 100);
        zsock_set_rcvtimeo(socket, 100);
    }
    return socket;
}

bool open_udp(int port)
{
    udp_fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return udp_fd != -1 &&
           bind(udp_fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
}

bool open_all(zconfig_t *config)
{
    const char *keys[] = {"/pidfile",
                          "/subscriber",
                          "/publisher",
                          "/gatewaypublisher",
                          "/udpport",
                          "/message_processor",
                          "/message_processor_backyard",
                          "/buffer_size"};
    for (const char *key : keys)
        if (!value(config, key))
            return false;
    udp_buffer_size = atoi(value(config, "/buffer_size"));
    if (udp_buffer_size < 2048)
        udp_buffer_size = 2048;
    if (udp_buffer_size > UDP_AREA_SIZE)
        udp_buffer_size = UDP_AREA_SIZE;
    inbound = bound(ZMQ_PULL, value(config, "/subscriber"));
    publisher = bound(ZMQ_PUB, value(config, "/publisher"));
    gateway = bound(ZMQ_PUB, value(config, "/gatewaypublisher"));
    processor = zsock_new_push(value(config, "/message_processor"));
    backyard = zsock_new_push(value(config, "/message_processor_backyard"));
    return inbound && publisher && gateway && processor && backyard &&
           open_udp(atoi(value(config, "/udpport")));
}

bool write_pidfile(const char *path)
{
    FILE *file = fopen(path, "w");
    if (!file)
        return false;
    fprintf(file, "%d", static_cast<int>(getpid()));
    return fclose(file) == 0;
}

void close_all()
{
    zsock_destroy(&backyard);
    zsock_destroy(&processor);
    if (udp_fd != -1)
        close(udp_fd);
    zsock_destroy(&inbound);
    zsock_destroy(&publisher);
    zsock_destroy(&gateway);
}

bool parse_route(const std::string &name)
{
    const char *names[] = {"plain", "gateway", "backyard", "record"};
    for (int i = 0; i < 4; i++)
        if (name == names[i]) {
            route = static_cast<route_t>(i);
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *config_file = nullptr;
    bool usable = true, route_given = false;
    int option;
    while ((option = getopt(argc, argv, "c:r:d")) != -1) {
        if (option == 'c')
            config_file = optarg;
        else if (option == 'd')
            drain = true;
        else if (option == 'r' && parse_route(optarg))
            route_given = true;
        else
            usable = false;
    }
    if (!usable || !config_file || !route_given) {
        fprintf(stderr, "Usage: %s -c config_file -r plain|gateway|backyard|record [-d]\n",
                argv[0]);
        return 1;
    }
    zconfig_t *config = zconfig_load(config_file);
    if (!config) {
        fprintf(stderr, "vostrelld-ceiling: cannot load %s\n", config_file);
        return 1;
    }
    int status = 1;
    zloop_t *loop = nullptr;
    if (open_all(config) && write_pidfile(value(config, "/pidfile"))) {
        loop = zloop_new();
        zmq_pollitem_t udp_item = {nullptr, udp_fd, ZMQ_POLLIN, 0};
        zloop_reader(loop, inbound, inbound_ready, nullptr);
        zloop_poller(loop, &udp_item, drain ? udp_drain : udp_ready, nullptr);
        zloop_start(loop);
        status = 0;
    } else {
        fprintf(stderr, "vostrelld-ceiling: cannot open the endpoints: %s\n", strerror(errno));
    }
    zloop_destroy(&loop);
    close_all();
    zconfig_destroy(&config);
    return status;
}
