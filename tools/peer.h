#pragma once
// The peers of a running vostrelld, for the operator's tap tool and for load
// generators and sinks: a target that texts are sent to (the daemon's UDP
// port or its inbound endpoint), the receiving of whole messages from a
// publisher or as a message processor, and the one-line rendering of a
// message's frames.

#include <czmq.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// CURVE keys of a peer of the daemon: its own certificate (with its secret
// key) and, for a client, the server's public certificate. No certificate:
// no CURVE.
struct peer_curve_t {
    zcert_t *certificate = nullptr;
    zcert_t *server = nullptr;
};

// Loads the certificate at certificate_path (zcert_load: for a name X it
// reads X_secret where that exists) and, unless server_path is empty, the
// server's certificate at server_path. False with error set where a file
// cannot be loaded or the certificate lacks its secret key; curve then
// holds nothing.
bool peer_curve_load(peer_curve_t *curve, const std::string &certificate_path,
                     const std::string &server_path, std::string *error);

// Releases the certificates; safe when there are none.
void peer_curve_free(peer_curve_t *curve);

// Sets socket up as curve says, before it binds or connects: a CURVE client
// of the server's key where there is one, otherwise a CURVE server; nothing
// without a certificate.
void peer_curve_apply(const peer_curve_t &curve, zsock_t *socket);

// Tells socket, before it binds or connects to endpoints, to speak IPv6
// where they name a bracketed address ("tcp://[::1]:5560"), IPv4 otherwise,
// whatever ZSYS_IPV6 in the environment says; as the daemon decides.
void peer_set_family(zsock_t *socket, const std::string &endpoints);

// Where texts are sent: a UDP socket connected to the daemon's port, or a
// PUSH socket towards its inbound endpoint. Exactly one of the two is open
// between peer_target_open and peer_target_close.
struct peer_target_t {
    int udp_fd = -1;
    zsock_t *push = nullptr;
};

// Opens target for address, which is either "udp://HOST:PORT" (HOST an IPv4
// address, an IPv6 one in brackets, or a name; the first address it
// resolves to) or a ZeroMQ endpoint for a PUSH
// socket ("tcp://...", "ipc://...", connecting by default, "@" binds, ">"
// connects). A PUSH send waits at most timeout_ms (-1: without limit) for a
// peer to take the message, and closing waits as long for queued messages to
// leave; the PUSH socket uses curve where given. Returns true on success;
// otherwise target stays closed and error says why.
bool peer_target_open(peer_target_t *target, const std::string &address, int timeout_ms,
                      std::string *error, const peer_curve_t *curve = nullptr);

// Closes whatever target holds; safe on a closed target and when called
// twice.
void peer_target_close(peer_target_t *target);

// Sends text as one datagram or one frame, bytes as they are (NUL bytes
// included, no terminator added). Returns false with errno set when the
// text could not be sent; a datagram may still be lost on the way.
bool peer_send(peer_target_t *target, const std::string &text);

// Sends texts in turn, again and again, count messages in all, at most rate
// messages per second (rate 0: as fast as they go). Each send is scheduled
// from the start time, so slow sends do not lower the average rate. Stops
// early at the first failed send or once the process is interrupted
// (SIGINT/SIGTERM). Returns the number of messages sent.
uint64_t peer_send_paced(peer_target_t *target, const std::vector<std::string> &texts,
                         uint64_t count, double rate);

// Receives one whole message (all its frames) from socket, waiting at most
// timeout_ms (-1: until one comes). Returns nullopt on time-out, when the
// process is interrupted, or on a receive error. A multi-part message is one
// result.
std::optional<std::vector<std::string>> peer_receive(zsock_t *socket, int timeout_ms);

// Renders the frames of one message as one line without a newline, frames
// separated by one space. As text, each frame is in double quotes with the
// bytes outside printable ASCII, the quote and the backslash written as C
// escapes (\n, \t, \", \\, \xNN), so the line shows exactly what was sent.
// As hex (hex true), each frame is its bytes in lower-case hex digits, and an
// empty frame is "-".
std::string peer_format(const std::vector<std::string> &frames, bool hex);

// Counts of what a receiver has taken in.
struct peer_tally_t {
    uint64_t messages = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

// Counts one received message, its frames and the bytes of all its frames.
void peer_tally_add(peer_tally_t *tally, const std::vector<std::string> &frames);
