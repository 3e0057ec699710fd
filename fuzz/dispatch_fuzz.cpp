// The router on arbitrary texts and frames, with the four output handles on
// in-process pairs: every text leaves on exactly the socket its prefix
// names, with the bytes that route sends, and nothing else is sent.

#include "router.h"
#include "socket_table.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static zsock_t *receivers[4];

static zsock_t *pair_sending_to(int index)
{
    std::string endpoint = "inproc://dispatch-" + std::to_string(index);
    receivers[index] = zsock_new_pair(("@" + endpoint).c_str());
    zsock_set_rcvtimeo(receivers[index], 0);
    return zsock_new_pair((">" + endpoint).c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sockets[PUBLISHER_SOCKET] = pair_sending_to(0);
    sockets[GATEWAYPUBLISHER_SOCKET] = pair_sending_to(1);
    msg_processor_sock = pair_sending_to(2);
    msg_processor_backyard_sock = pair_sending_to(3);
    resolve_sockets();
    return 0;
}

// Takes the one message waiting on receiver index, if any.
static std::vector<std::string> take(int index)
{
    std::vector<std::string> frames;
    zmsg_t *message = zmsg_recv(receivers[index]);
    for (zframe_t *frame = message ? zmsg_first(message) : nullptr; frame;
         frame = zmsg_next(message))
        frames.emplace_back(reinterpret_cast<char *>(zframe_data(frame)), zframe_size(frame));
    zmsg_destroy(&message);
    return frames;
}

// Prefix of the route of each receiver; the publisher's route has none.
static const char *const PREFIXES[4] = {"", "#win ", "#oldmp ", "#jwin "};

// Checks that text, just routed, left on exactly the socket its prefix
// names with the bytes that route sends, and that nothing else was sent.
static void expect_routed(const std::string &text)
{
    int route = 0;
    for (int index = 1; index < 4; index++)
        if (text.compare(0, strlen(PREFIXES[index]), PREFIXES[index]) == 0)
            route = index;
    std::string rest = text.substr(strlen(PREFIXES[route]));
    for (int index = 0; index < 4; index++) {
        std::vector<std::string> got = take(index);
        bool expected = index != route ? got.empty()
                        // A record is dropped, or sent as two frames of the decoded sizes.
                        : index == 2 ? got.empty() || (got.size() == 2 && got[0].size() == 6 &&
                                                       got[1].size() == (rest.size() - 13) / 2)
                                     : got == std::vector<std::string>{rest};
        if (!expected)
            abort();
    }
}

// Every input as a NUL-terminated text, and as a frame: the same result.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string buffer(reinterpret_cast<const char *>(data), size);
    std::string text = buffer.c_str();
    send_data(buffer.data());
    expect_routed(text);

    zmq_msg_t frame;
    zmq_msg_init_size(&frame, size);
    memcpy(zmq_msg_data(&frame), data, size);
    send_frame(&frame);
    zmq_msg_close(&frame);
    expect_routed(text);
    return 0;
}
