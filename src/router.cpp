#include "router.h"

#include "handles.h"

#include <cerrno>
#include <cstring>
#include <syslog.h>

// True when text begins with the literal prefix, trailing space included.
template <size_t N> static inline bool has_prefix(const char *text, const char (&prefix)[N])
{
    return strncmp(text, prefix, N - 1) == 0;
}

static void publish(int index, const char *text, const char *failure_format)
{
    if (zstr_send(sockets[index], text) == -1)
        syslog(LOG_ERR, failure_format, "send_data", errno, zmq_strerror(errno));
}

void send_data(char *message)
{
    static const char GATEWAY_PREFIX[] = "#win ";
    if (has_prefix(message, GATEWAY_PREFIX)) {
        publish(GATEWAYPUBLISHER_SOCKET, message + sizeof GATEWAY_PREFIX - 1,
                "%s: zstr_send (GATEWAYPUBLISHER_SOCKET): %d, %s");
        return;
    }
    publish(PUBLISHER_SOCKET, message, "%s: zstr_send (PUBLISHER_SOCKET): %d, %s");
}
