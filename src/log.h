#pragma once
// The daemon's system log. Every line goes to the local syslog socket,
// /dev/log, as one datagram with exactly the bytes that syslog(3) sends for
// it ("<PRI>Mmm dd hh:mm:ss IDENT: TEXT"), but the daemon never waits for
// the log: a line that cannot be handed over at once (the listener's queue
// is full, or no listener is there) is dropped and counted.

#include <cstdint>
#include <syslog.h> // the LOG_* priorities and facilities

// Sets the identity and facility of every line and connects to /dev/log
// when a listener is there; without one, each line tries again.
void log_open(const char *ident, int facility);

// Closes the connection to the log. Safe when not open and when called
// twice.
void log_close();

// Formats one line as printf does and hands it to the log without waiting.
// errno is left as it was.
void log_line(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Lines dropped since start because the log could not take them at once.
uint64_t log_lines_dropped();
