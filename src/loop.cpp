#include "loop.h"

#include "connections.h"
#include "inbound.h"
#include "log.h"
#include "notify.h"
#include "socket_table.h"
#include "spooler.h"
#include "statistics.h"
#include "udp.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

zloop_t *reactor = nullptr;

// The descriptor that SIGUSR1 is read from, registered with the loop; -1
// while there is none.
static int signal_descriptor = -1;

// The loop notices SIGINT/SIGTERM only between two polls; a signal that
// lands after the loop checked for it but before it waits again would be
// seen only at the next event. Waking the loop this often bounds that delay.
// The wake-up is a ticket, not a timer: around every poll the loop walks its
// whole timer list, but looks only at the first of its tickets, which costs
// less per message.
static const size_t INTERRUPT_CHECK_MSECS = 100;

// A ticket fires once and is then removed by the loop, so each one arms
// the next. Making a ticket cannot fail: CZMQ aborts the process where it
// cannot allocate. The service manager's watchdog is pinged from here, so
// that the pings stop when the loop stops turning.
static int interrupt_check(zloop_t *loop, int, void *)
{
    zloop_ticket(loop, interrupt_check, nullptr);
    notify_watchdog();
    read_unpolled_watches();
    count_udp_kernel_drops();
    tend_spools();
    return 0;
}

// Reads every pending SIGUSR1 and logs one statistics line for them. The
// descriptor never blocks, so a readiness without a signal logs nothing.
static int statistics_request_handler(zloop_t *, zmq_pollitem_t *, void *)
{
    struct signalfd_siginfo request;
    bool requested = false;
    while (read(signal_descriptor, &request, sizeof request) == sizeof request)
        requested = true;
    if (requested) {
        read_unpolled_watches();
        count_udp_kernel_drops();
        log_statistics();
        notify_statistics();
    }
    return 0;
}

// Registers the statistics request: the descriptor that SIGUSR1, blocked in
// every thread, is read from.
static bool register_statistics_request(zloop_t *loop)
{
    sigset_t requests;
    sigemptyset(&requests);
    sigaddset(&requests, SIGUSR1);
    signal_descriptor = signalfd(-1, &requests, SFD_NONBLOCK | SFD_CLOEXEC);
    zmq_pollitem_t signal_pollitem = {nullptr, signal_descriptor, ZMQ_POLLIN, 0};
    if (signal_descriptor == -1 ||
        zloop_poller(loop, &signal_pollitem, statistics_request_handler, nullptr) == -1)
        return false;
    zloop_poller_set_tolerant(loop, &signal_pollitem);
    return true;
}

bool create_reactor()
{
    reactor = zloop_new();
    if (!reactor) {
        log_line(LOG_ERR, "%s: zloop_new: %d, %s", "create_reactor", errno, zmq_strerror(errno));
        return false;
    }
    zloop_set_ticket_delay(reactor, INTERRUPT_CHECK_MSECS);
    if (!register_inbound(reactor) || !register_udp(reactor) ||
        !zloop_ticket(reactor, interrupt_check, nullptr) || !register_watches(reactor) ||
        !register_statistics_request(reactor) || !register_spools(reactor)) {
        log_line(LOG_ERR, "%s: zloop_reader: %d, %s", "create_reactor", errno, zmq_strerror(errno));
        destroy_reactor();
        return false;
    }
    return true;
}

void destroy_reactor()
{
    zloop_destroy(&reactor);
    forget_inbound();
    if (signal_descriptor != -1) {
        close(signal_descriptor);
        signal_descriptor = -1;
    }
}

void deliver_what_was_taken(int grace_msecs)
{
    int64_t deadline = zclock_mono() + grace_msecs;
    unbind_inbound(grace_msecs);
    bool more = true;
    while (more && zclock_mono() < deadline) {
        bool inbound = take_frames() > 0;
        more = take_datagrams() > 0 || inbound;
    }
    int linger = static_cast<int>(std::max<int64_t>(0, deadline - zclock_mono()));
    for (socket_record &record : socket_records)
        if (record.sent)
            zsock_set_linger(*record.handle, linger);
}
