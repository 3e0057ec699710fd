#include "notify.h"

#include "statistics.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <systemd/sd-daemon.h>

// Nanoseconds between two watchdog pings, half the manager's interval; 0
// while it wants none. And when the last ping went.
static uint64_t watchdog_period_ns = 0;
static uint64_t watchdog_last_ns = 0;

static uint64_t now_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void notify_open()
{
    uint64_t interval_us = 0;
    if (sd_watchdog_enabled(0, &interval_us) > 0)
        watchdog_period_ns = interval_us * 1000 / 2;
}

// What the daemon listens on, as the ready status told it.
static char listening_text[1024] = "";

void notify_ready(const char *listening)
{
    snprintf(listening_text, sizeof listening_text, "%s", listening);
    sd_notifyf(0, "READY=1\nSTATUS=Relaying: %s", listening);
    watchdog_last_ns = now_ns();
}

void notify_held(const char *held)
{
    sd_notifyf(0, "STATUS=Relaying: %s%s%s", listening_text, *held ? "; " : "", held);
}

void notify_watchdog()
{
    if (watchdog_period_ns == 0)
        return;
    uint64_t now = now_ns();
    if (now - watchdog_last_ns < watchdog_period_ns)
        return;
    sd_notify(0, "WATCHDOG=1");
    watchdog_last_ns = now;
}

void notify_statistics()
{
    char counters[STATISTICS_TEXT_SIZE];
    format_statistics(counters, sizeof counters, true);
    sd_notifyf(0, "STATUS=Relaying: %s", counters);
}

void notify_stopping()
{
    sd_notify(0, "STOPPING=1");
}

void notify_store(int fd, const char *name)
{
    char state[128];
    snprintf(state, sizeof state, "FDSTORE=1\nFDNAME=%s", name);
    sd_pid_notify_with_fds(0, 0, state, &fd, 1);
}

void notify_forget_stored(const char *name)
{
    sd_notifyf(0, "FDSTOREREMOVE=1\nFDNAME=%s", name);
}
