#pragma once
// What the reference relays of the bench share: their UDP socket, bound to
// every local IPv4 address as the daemon's is without "/udpaddress", and
// the pid file that tells the bench they are up.

#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A UDP socket bound to port; -1 where it cannot be.
inline int open_udp(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd != -1 && bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Writes the process id into the file at path.
inline bool write_pidfile(const char *path)
{
    FILE *file = path ? fopen(path, "w") : nullptr;
    if (!file)
        return false;
    fprintf(file, "%d", static_cast<int>(getpid()));
    return fclose(file) == 0;
}
