#pragma once
// The service manager's notification protocol (sd_notify(3)): readiness,
// status, watchdog pings and the stop. The manager asks for it by naming
// its socket in NOTIFY_SOCKET; without that, nothing here sends anything
// or makes a socket.

// Reads whether the manager wants watchdog pings, and how often
// (WATCHDOG_USEC, for this process where WATCHDOG_PID names one). Call once
// at start.
void notify_open();

// Tells the manager that the daemon is up, every endpoint bound and the
// pid file written, with what it listens on (see describe_endpoints).
void notify_ready(const char *listening);

// Pings the watchdog when half its interval has passed since the last
// ping. Called from the event loop at its every wake-up ticket, so the pings
// stop when the loop stops turning.
void notify_watchdog();

// Shows what the spools hold (held, "held.backyard=N ...") in the manager's
// status line after what the daemon listens on; where held is empty, just
// that again.
void notify_held(const char *held);

// Shows the main counters in the manager's status line.
void notify_statistics();

// Tells the manager that the daemon is stopping.
void notify_stopping();

// Hands descriptor fd to the manager's file descriptor store under name
// (FDSTORE=1), so that the next run of the service gets it back as a passed
// socket. The manager keeps it only where the unit allows a store.
void notify_store(int fd, const char *name);

// Tells the manager to drop the descriptors stored under name.
void notify_forget_stored(const char *name);
