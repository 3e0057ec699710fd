#include "load.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <time.h>

const char LOAD_RECORD_PREFIX[] = "#oldmp ";

using Clock = std::chrono::steady_clock;

int64_t load_now_us()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

static const char HEX_DIGITS[] = "0123456789abcdef";

void load_restamp(std::string *text, size_t prefix_length, int64_t stamp)
{
    for (size_t i = 0; i < LOAD_STAMP_DIGITS; i++)
        (*text)[prefix_length + i] = HEX_DIGITS[(stamp >> (4 * (LOAD_STAMP_DIGITS - 1 - i))) & 0xf];
}

std::string load_make_text(const std::string &prefix, size_t size, int64_t stamp)
{
    bool record = prefix == LOAD_RECORD_PREFIX;
    std::string text = prefix + std::string(LOAD_STAMP_DIGITS, '0');
    if (record)
        text += ' ';
    for (size_t i = 0; text.size() < size; i++)
        text += record ? HEX_DIGITS[i % 16] : 'x';
    load_restamp(&text, prefix.size(), stamp);
    return text;
}

static int hex_value(char c)
{
    const char *found = c ? strchr(HEX_DIGITS, c) : nullptr;
    return found ? static_cast<int>(found - HEX_DIGITS) : -1;
}

int64_t load_stamp_of(const char *first, size_t first_size, size_t frames, const std::string &strip)
{
    if (frames == 2 && first_size == 6) {
        int64_t stamp = 0;
        for (size_t i = 0; i < 6; i++)
            stamp = stamp << 8 | static_cast<unsigned char>(first[i]);
        return stamp;
    }
    if (frames != 1)
        return -1;
    size_t start = first_size >= strip.size() && memcmp(first, strip.data(), strip.size()) == 0
                       ? strip.size()
                       : 0;
    if (first_size < start + LOAD_STAMP_DIGITS)
        return -1;
    int64_t stamp = 0;
    for (size_t i = start; i < start + LOAD_STAMP_DIGITS; i++) {
        int digit = hex_value(first[i]);
        if (digit < 0)
            return -1;
        stamp = stamp << 4 | digit;
    }
    return stamp;
}

static void sink_take(load_sink_t *sink, int64_t stamp)
{
    if (stamp < 0) {
        sink->malformed++;
        return;
    }
    if (stamp == 0) {
        sink->probes++;
        return;
    }
    int64_t now = load_now_us();
    if (sink->measuring) {
        std::lock_guard<std::mutex> lock(sink->latency_mutex);
        sink->latencies_us.push_back(now - stamp);
    }
    sink->last_us = now;
    sink->received++;
}

// Receives whole messages until stopped, frame by frame into one reused
// message, so that the sink spends as little as it can on each: the start
// of the first frame is kept for the stamp, the rest only counted.
static void sink_run(load_sink_t *sink)
{
    void *socket = zsock_resolve(sink->socket);
    zmq_msg_t part;
    zmq_msg_init(&part);
    char first[64];
    while (!sink->stop) {
        if (zmq_msg_recv(&part, socket, 0) == -1)
            continue; // the receive time-out: look at stop again
        size_t first_size = zmq_msg_size(&part), frames = 1, bytes = first_size;
        memcpy(first, zmq_msg_data(&part), std::min(first_size, sizeof first));
        while (zmq_msg_more(&part) && zmq_msg_recv(&part, socket, 0) != -1) {
            frames++;
            bytes += zmq_msg_size(&part);
        }
        sink->tally.messages++;
        sink->tally.frames += frames;
        sink->tally.bytes += bytes;
        sink_take(sink,
                  load_stamp_of(first, std::min(first_size, sizeof first), frames, sink->strip));
    }
    zmq_msg_close(&part);
}

bool load_sink_start(load_sink_t *sink, bool sub, const std::string &endpoint, int hwm,
                     const std::string &strip, const peer_curve_t *curve)
{
    sink->socket = zsock_new(sub ? ZMQ_SUB : ZMQ_PULL);
    if (!sink->socket)
        return false;
    zsock_set_rcvhwm(sink->socket, hwm);
    zsock_set_rcvtimeo(sink->socket, 50);
    if (sub)
        zsock_set_subscribe(sink->socket, "");
    if (curve)
        peer_curve_apply(*curve, sink->socket);
    if (zsock_attach(sink->socket, endpoint.c_str(), false) == -1) {
        zsock_destroy(&sink->socket);
        return false;
    }
    sink->strip = strip;
    sink->thread = std::thread(sink_run, sink);
    return true;
}

void load_sink_stop(load_sink_t *sink)
{
    sink->stop = true;
    if (sink->thread.joinable())
        sink->thread.join();
    zsock_destroy(&sink->socket);
}

std::vector<int64_t> load_sink_take_latencies(load_sink_t *sink)
{
    std::lock_guard<std::mutex> lock(sink->latency_mutex);
    std::vector<int64_t> taken;
    taken.swap(sink->latencies_us);
    return taken;
}

bool load_probe(peer_target_t *target, const std::string &prefix, load_sink_t *sink, int timeout_ms)
{
    std::string probe = load_make_text(prefix, 0, 0);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline && !zsys_interrupted) {
        if (!peer_send(target, probe))
            return false;
        for (int i = 0; i < 10 && sink->probes == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (sink->probes > 0)
            return true;
    }
    return false;
}

// Waits until fn() holds, checking every 20 microseconds, for at most
// timeout_ms; true when it held.
template <typename F> static bool wait_until(F fn, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!fn()) {
        if (Clock::now() >= deadline || zsys_interrupted)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

uint64_t load_send_stamped(peer_target_t *target, std::string text, size_t prefix_length,
                           uint64_t count, double rate, uint64_t window, load_sink_t *sink,
                           uint64_t base, int timeout_ms)
{
    int64_t start = load_now_us();
    uint64_t sent = 0;
    for (; sent < count && !zsys_interrupted; sent++) {
        if (rate > 0) {
            int64_t due = start + static_cast<int64_t>(static_cast<double>(sent) * 1e6 / rate);
            int64_t left = due - load_now_us();
            if (left > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(left));
        }
        if (window > 0 &&
            !wait_until([&] { return sent - (sink->received - base) < window; }, timeout_ms))
            break;
        load_restamp(&text, prefix_length, load_now_us());
        if (!peer_send(target, text))
            break;
    }
    return sent;
}

uint64_t load_wait_delivered(load_sink_t *sink, uint64_t base, uint64_t expected, int idle_ms)
{
    uint64_t seen = sink->received - base;
    auto last_change = Clock::now();
    while (seen < expected && !zsys_interrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        uint64_t now_seen = sink->received - base;
        if (now_seen != seen) {
            seen = now_seen;
            last_change = Clock::now();
        } else if (Clock::now() - last_change > std::chrono::milliseconds(idle_ms)) {
            break;
        }
    }
    return sink->received - base;
}
