// The messaging library's own forwarding speed, as a reference that no
// one-message-per-readiness relay reaches: zmq_proxy from the bound inbound
// PULL socket to one output, or a blocking loop of recvfrom and zmq_send
// from the UDP port to that output. Texts are forwarded as they came, prefix
// and all; records are not decoded.
//
//   vostrelld-proxy -c CONFIG -o publisher|gatewaypublisher|message_processor|
//                   message_processor_backyard -i pull|udp
//
// It reads the daemon's configuration file for the endpoints, writes the pid
// file once it is up and runs until SIGINT or SIGTERM.

#include "reference.h"

#include <czmq.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const int UDP_AREA_SIZE = 65507;

zsock_t *open_output(zconfig_t *config, const std::string &output)
{
    const char *endpoint = zconfig_get(config, ("/" + output).c_str(), nullptr);
    if (!endpoint)
        return nullptr;
    if (output == "publisher" || output == "gatewaypublisher") {
        zsock_t *socket = zsock_new(ZMQ_PUB);
        if (socket && zsock_bind(socket, "%s", endpoint) == -1)
            zsock_destroy(&socket);
        return socket;
    }
    return zsock_new_push(endpoint);
}

// Forwards datagrams until a signal interrupts the receive.
void forward_udp(int fd, int capacity, void *output)
{
    static char buffer[UDP_AREA_SIZE];
    while (!zsys_interrupted) {
        ssize_t received = recvfrom(fd, buffer, capacity, 0, nullptr, nullptr);
        if (received > 0)
            zmq_send(output, buffer, static_cast<size_t>(received), 0);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const char *config_file = nullptr;
    std::string output_key, input;
    int option;
    while ((option = getopt(argc, argv, "c:o:i:")) != -1) {
        if (option == 'c')
            config_file = optarg;
        else if (option == 'o')
            output_key = optarg;
        else if (option == 'i')
            input = optarg;
        else
            input.clear();
    }
    if (!config_file || output_key.empty() || (input != "pull" && input != "udp")) {
        fprintf(stderr, "Usage: %s -c config_file -o output_key -i pull|udp\n", argv[0]);
        return 1;
    }
    zconfig_t *config = zconfig_load(config_file);
    if (!config) {
        fprintf(stderr, "vostrelld-proxy: cannot load %s\n", config_file);
        return 1;
    }
    zsock_t *output = open_output(config, output_key);
    zsock_t *inbound = nullptr;
    int udp_fd = -1;
    if (input == "pull") {
        const char *endpoint = zconfig_get(config, "/subscriber", nullptr);
        inbound = endpoint ? zsock_new(ZMQ_PULL) : nullptr;
        if (inbound && zsock_bind(inbound, "%s", endpoint) == -1)
            zsock_destroy(&inbound);
    } else {
        udp_fd = open_udp(atoi(zconfig_get(config, "/udpport", "0")));
    }
    int status = 1;
    if (output && (inbound || udp_fd != -1) &&
        write_pidfile(zconfig_get(config, "/pidfile", nullptr))) {
        if (inbound)
            zmq_proxy(zsock_resolve(inbound), zsock_resolve(output), nullptr);
        else
            forward_udp(udp_fd, atoi(zconfig_get(config, "/buffer_size", "2048")),
                        zsock_resolve(output));
        status = 0;
    } else {
        fprintf(stderr, "vostrelld-proxy: cannot open the endpoints: %s\n", strerror(errno));
    }
    if (udp_fd != -1)
        close(udp_fd);
    zsock_destroy(&inbound);
    zsock_destroy(&output);
    zconfig_destroy(&config);
    return status;
}
