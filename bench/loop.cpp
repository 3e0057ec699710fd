// The plainest UDP relay: a blocking recvfrom and a zmq_send on a bound PUB
// socket, one datagram at a time, on one thread of its own, with no socket
// options. It is the reference that the daemon's UDP input is held to: what
// one core does when reading is all it does.
//
//   vostrelld-loop -c CONFIG
//
// It reads the daemon's configuration file for the UDP port, the publisher's
// endpoint and the buffer size, writes the pid file once it is up and runs
// until SIGINT or SIGTERM.

#include "reference.h"

#include <czmq.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const int UDP_AREA_SIZE = 65507;

volatile sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

// Without SA_RESTART, so that a stop interrupts the blocking receive.
void catch_stops()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void forward(int fd, int capacity, void *publisher)
{
    static char buffer[UDP_AREA_SIZE];
    while (!stopping) {
        ssize_t received = recvfrom(fd, buffer, static_cast<size_t>(capacity), 0, nullptr, nullptr);
        if (received > 0)
            zmq_send(publisher, buffer, static_cast<size_t>(received), 0);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3 || strcmp(argv[1], "-c") != 0) {
        fprintf(stderr, "Usage: %s -c config_file\n", argv[0]);
        return 1;
    }
    zconfig_t *config = zconfig_load(argv[2]);
    if (!config) {
        fprintf(stderr, "vostrelld-loop: cannot load %s\n", argv[2]);
        return 1;
    }
    catch_stops();
    void *context = zmq_ctx_new();
    void *publisher = zmq_socket(context, ZMQ_PUB);
    int fd = open_udp(atoi(zconfig_get(config, "/udpport", "0")));
    int capacity = atoi(zconfig_get(config, "/buffer_size", "2048"));
    int status = 1;
    if (fd != -1 && zmq_bind(publisher, zconfig_get(config, "/publisher", "")) == 0 &&
        write_pidfile(zconfig_get(config, "/pidfile", nullptr))) {
        forward(fd, std::min(std::max(capacity, 1), UDP_AREA_SIZE), publisher);
        status = 0;
    } else {
        fprintf(stderr, "vostrelld-loop: cannot open the endpoints: %s\n", strerror(errno));
    }
    if (fd != -1)
        close(fd);
    int linger = 0;
    zmq_setsockopt(publisher, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(publisher);
    zmq_ctx_term(context);
    zconfig_destroy(&config);
    return status;
}
