#include "peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static const char UDP_SCHEME[] = "udp://";

// Splits "HOST:PORT" at its last colon, an IPv6 HOST in brackets
// ("[::1]:5565") losing them; false when either part is empty.
static bool split_host_port(const std::string &text, std::string *host, std::string *port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    *host = text.substr(0, colon);
    *port = text.substr(colon + 1);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    return !host->empty();
}

static bool open_udp(peer_target_t *target, const std::string &host_port, std::string *error)
{
    std::string host, port;
    if (!split_host_port(host_port, &host, &port)) {
        *error = "expected udp://HOST:PORT";
        return false;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        *error = host_port + ": " + gai_strerror(rc);
        return false;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd == -1 || connect(fd, found->ai_addr, found->ai_addrlen) == -1) {
        *error = host_port + ": " + strerror(errno);
        if (fd != -1)
            close(fd);
        freeaddrinfo(found);
        return false;
    }
    freeaddrinfo(found);
    target->udp_fd = fd;
    return true;
}

bool peer_curve_load(peer_curve_t *curve, const std::string &certificate_path,
                     const std::string &server_path, std::string *error)
{
    curve->certificate = zcert_load(certificate_path.c_str());
    if (!curve->certificate) {
        *error = certificate_path + ": not a certificate";
        return false;
    }
    static const byte NO_KEY[32] = {0};
    if (memcmp(zcert_secret_key(curve->certificate), NO_KEY, sizeof NO_KEY) == 0) {
        *error = certificate_path + ": no secret key";
        peer_curve_free(curve);
        return false;
    }
    if (!server_path.empty() && !(curve->server = zcert_load(server_path.c_str()))) {
        *error = server_path + ": not a certificate";
        peer_curve_free(curve);
        return false;
    }
    return true;
}

void peer_curve_free(peer_curve_t *curve)
{
    zcert_destroy(&curve->certificate);
    zcert_destroy(&curve->server);
}

void peer_curve_apply(const peer_curve_t &curve, zsock_t *socket)
{
    if (!curve.certificate)
        return;
    zcert_apply(curve.certificate, socket);
    if (curve.server)
        zsock_set_curve_serverkey(socket, zcert_public_txt(curve.server));
    else
        zsock_set_curve_server(socket, 1);
}

void peer_set_family(zsock_t *socket, const std::string &endpoints)
{
    zsock_set_ipv6(socket, endpoints.find('[') != std::string::npos ? 1 : 0);
}

bool peer_target_open(peer_target_t *target, const std::string &address, int timeout_ms,
                      std::string *error, const peer_curve_t *curve)
{
    if (address.compare(0, sizeof UDP_SCHEME - 1, UDP_SCHEME) == 0)
        return open_udp(target, address.substr(sizeof UDP_SCHEME - 1), error);
    target->push = zsock_new(ZMQ_PUSH);
    if (!target->push) {
        *error = address + ": " + zmq_strerror(errno);
        return false;
    }
    // Queue only on completed connections, so that a send to an endpoint
    // where nobody listens fails after the time-out instead of "succeeding"
    // into a queue that is thrown away on close.
    zsock_set_immediate(target->push, 1);
    peer_set_family(target->push, address);
    zsock_set_sndtimeo(target->push, timeout_ms);
    zsock_set_linger(target->push, timeout_ms);
    if (curve)
        peer_curve_apply(*curve, target->push);
    if (zsock_attach(target->push, address.c_str(), false) == -1) {
        *error = address + ": " + zmq_strerror(errno);
        zsock_destroy(&target->push);
        return false;
    }
    return true;
}

void peer_target_close(peer_target_t *target)
{
    zsock_destroy(&target->push);
    if (target->udp_fd != -1) {
        close(target->udp_fd);
        target->udp_fd = -1;
    }
}

bool peer_send(peer_target_t *target, const std::string &text)
{
    if (target->push)
        return zmq_send(zsock_resolve(target->push), text.data(), text.size(), 0) ==
               static_cast<int>(text.size());
    return send(target->udp_fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// Waits until the given number of seconds after start has passed, in steps
// of at most a second so that an interrupt is noticed during long waits.
static void wait_until_offset(std::chrono::steady_clock::time_point start, double offset)
{
    for (;;) {
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        double left = offset - elapsed.count();
        if (left <= 0 || zsys_interrupted)
            return;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 1.0)));
    }
}

uint64_t peer_send_paced(peer_target_t *target, const std::vector<std::string> &texts,
                         uint64_t count, double rate)
{
    const auto start = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (sent < count && !texts.empty() && !zsys_interrupted) {
        if (rate > 0) {
            wait_until_offset(start, static_cast<double>(sent) / rate);
            if (zsys_interrupted)
                break;
        }
        if (!peer_send(target, texts[sent % texts.size()]))
            break;
        sent++;
    }
    return sent;
}

std::optional<std::vector<std::string>> peer_receive(zsock_t *socket, int timeout_ms)
{
    zsock_set_rcvtimeo(socket, timeout_ms);
    zmsg_t *message = zmsg_recv(socket);
    if (!message)
        return std::nullopt;
    std::vector<std::string> frames;
    for (zframe_t *frame = zmsg_first(message); frame; frame = zmsg_next(message))
        frames.emplace_back(reinterpret_cast<const char *>(zframe_data(frame)), zframe_size(frame));
    zmsg_destroy(&message);
    return frames;
}

static void append_escaped(std::string *line, unsigned char byte)
{
    static const char HEX[] = "0123456789abcdef";
    switch (byte) {
    case '\n':
        *line += "\\n";
        return;
    case '\t':
        *line += "\\t";
        return;
    case '"':
    case '\\':
        *line += '\\';
        *line += static_cast<char>(byte);
        return;
    }
    if (byte >= 0x20 && byte < 0x7f) {
        *line += static_cast<char>(byte);
        return;
    }
    *line += "\\x";
    *line += HEX[byte >> 4];
    *line += HEX[byte & 0xf];
}

static void append_hex(std::string *line, const std::string &frame)
{
    static const char HEX[] = "0123456789abcdef";
    if (frame.empty()) {
        *line += '-';
        return;
    }
    for (char c : frame) {
        unsigned char byte = static_cast<unsigned char>(c);
        *line += HEX[byte >> 4];
        *line += HEX[byte & 0xf];
    }
}

std::string peer_format(const std::vector<std::string> &frames, bool hex)
{
    std::string line;
    for (size_t i = 0; i < frames.size(); i++) {
        if (i > 0)
            line += ' ';
        if (hex) {
            append_hex(&line, frames[i]);
            continue;
        }
        line += '"';
        for (char c : frames[i])
            append_escaped(&line, static_cast<unsigned char>(c));
        line += '"';
    }
    return line;
}

void peer_tally_add(peer_tally_t *tally, const std::vector<std::string> &frames)
{
    tally->messages++;
    tally->frames += frames.size();
    for (const std::string &frame : frames)
        tally->bytes += frame.size();
}
