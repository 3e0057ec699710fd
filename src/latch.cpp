#include "latch.h"

#include "log.h"

#include <atomic>

// Set while texts for the message processors are dropped.
static std::atomic<bool> overflow_flag{false};

void latch_taken(const socket_record *record)
{
    if (overflow_flag.load(std::memory_order_relaxed)) {
        log_line(LOG_ERR, "%s", record->exemption);
        overflow_flag.store(false, std::memory_order_relaxed);
    }
}

void latch_dropped(const socket_record *record)
{
    if (!overflow_flag.load(std::memory_order_relaxed)) {
        log_line(LOG_ERR, "%s", record->overflow);
        overflow_flag.store(true, std::memory_order_relaxed);
    }
}

bool overflow_latched()
{
    return overflow_flag.load(std::memory_order_relaxed);
}
