// The router on arbitrary texts, with the four output handles on in-process
// pairs: every text leaves on exactly the socket its prefix names, with the
// bytes that route sends, and nothing else is sent.

#include "handles.h"
#include "router.h"

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

static bool starts_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string buffer(reinterpret_cast<const char *>(data), size);
    std::string text = buffer.c_str();
    send_data(buffer.data());

    std::vector<std::string> got[4] = {take(0), take(1), take(2), take(3)};
    int expected_socket = starts_with(text, "#win ")     ? 1
                          : starts_with(text, "#oldmp ") ? 2
                          : starts_with(text, "#jwin ")  ? 3
                                                         : 0;
    for (int index = 0; index < 4; index++)
        if (index != expected_socket && !got[index].empty())
            abort();
    const std::vector<std::string> &out = got[expected_socket];
    switch (expected_socket) {
    case 0:
        if (out != std::vector<std::string>{text})
            abort();
        break;
    case 1:
        if (out != std::vector<std::string>{text.substr(5)})
            abort();
        break;
    case 2: // dropped, or two frames of the decoded sizes
        if (!out.empty() &&
            (out.size() != 2 || out[0].size() != 6 || out[1].size() != (text.size() - 7 - 13) / 2))
            abort();
        break;
    case 3:
        if (out != std::vector<std::string>{text.substr(6)})
            abort();
        break;
    }
    return 0;
}
