#include "spooler.h"

#include "config.h"
#include "latch.h"
#include "log.h"
#include "notify.h"
#include "spool.h"
#include "statistics.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// A processor's spool and the feeding of its socket from it.
struct socket_spool {
    spool_t *store = nullptr;
    zmq_pollitem_t feed = {}; // the socket, polled for room while the spool holds texts
    bool fed = false;         // the feed is registered with the loop
    bool failing = false;     // a failed write is logged, until a write succeeds
};

// The spools' directory and the lock file in it; -1 while there is none.
static int directory_fd = -1;
static int lock_fd = -1;
static const char LOCK_FILE[] = "lock";

// The loop that feeds the sockets; null until the sockets exist.
static zloop_t *feeding_loop = nullptr;

// True where a spool took texts since the last flush_spools.
static bool unflushed = false;

// Texts fed to a socket per turn of the loop: a turn stays short while the
// inputs wait (about 0.3 ms: a spool feeds about two million texts a
// second) and spares a poll per text.
static const int FEED_BATCH = 512;

// Syncs this often while a spool is written (at the loop's ticket, every
// 100 ms), so that a power loss costs at most about the last 0.6 s; and the
// service manager's status tells what the spools hold once a second.
static const int64_t SYNC_MSECS = 500;
static const int64_t STATUS_MSECS = 1000;
static int64_t synced_at = 0, status_at = 0;
static bool status_held = false;

// Makes what record's spool counts visible, and counts what it lost to a
// failed write (dropped, through the latch) and set aside as damaged.
static void publish(socket_record *record)
{
    spool_t *store = record->spool->store;
    uint64_t lost, damaged;
    spool_take_losses(store, &lost, &damaged);
    *record->spool_counts[DAMAGED] += damaged;
    if (lost > 0) {
        *record->refused += lost;
        latch_dropped(record);
    }
    record->spool_counts[HELD]->set(spool_messages(store));
    record->spool_counts[HELD_BYTES]->set(spool_bytes(store));
}

// Sends the frames of one message without waiting; false where the socket
// refuses it, errno set. The rest of a message always follows its first
// frame.
static bool send_frames(void *socket, const spool_frames *frames)
{
    if (frames->count == 2 &&
        zmq_send(socket, frames->data[0], frames->size[0], ZMQ_SNDMORE | ZMQ_DONTWAIT) == -1)
        return false;
    int last = frames->count - 1;
    return zmq_send(socket, frames->data[last], frames->size[last], ZMQ_DONTWAIT) != -1;
}

static int feed_socket(zloop_t *loop, zmq_pollitem_t *, void *arg);

static void register_feed(socket_record *record)
{
    socket_spool *spool = record->spool;
    spool->feed = {record->resolved, 0, ZMQ_POLLOUT, 0};
    if (zloop_poller(feeding_loop, &spool->feed, feed_socket, record) == -1) {
        log_line(LOG_ERR, "%s: zloop_poller: %d, %s", "spool_text", errno, zmq_strerror(errno));
        return;
    }
    zloop_poller_set_tolerant(feeding_loop, &spool->feed);
    spool->fed = true;
}

// From now on texts for record's processor wait behind its spool.
static void start_spooling(socket_record *record)
{
    record->spooling = true;
    log_line(LOG_WARNING, "%s", record->spool_start);
    if (feeding_loop)
        register_feed(record);
}

static void stop_spooling(socket_record *record)
{
    zloop_poller_end(feeding_loop, &record->spool->feed);
    record->spool->fed = false;
    record->spooling = false;
    log_line(LOG_INFO, "%s", record->spool_end);
}

// Feeds the socket of record (arg) from its spool, a batch of texts at most,
// while the socket takes them; once the spool is empty, texts go to the
// socket again.
static int feed_socket(zloop_t *, zmq_pollitem_t *, void *arg)
{
    socket_record *record = static_cast<socket_record *>(arg);
    spool_t *store = record->spool->store;
    for (int fed = 0; fed < FEED_BATCH; fed++) {
        spool_frames frames;
        int found = spool_peek(store, &frames);
        if (found == SPOOL_EMPTY) {
            // Texts go to the socket again once it has room for the next: a
            // socket just filled would refuse it and spool again at once.
            int events = 0;
            size_t size = sizeof events;
            zmq_getsockopt(record->resolved, ZMQ_EVENTS, &events, &size);
            if (events & ZMQ_POLLOUT)
                stop_spooling(record);
            break;
        }
        if (found == SPOOL_SET_ASIDE)
            continue;
        if (send_frames(record->resolved, &frames)) {
            (*record->sent)++;
            (*record->spool_counts[REPLAYED])++;
            latch_taken(record);
        } else if (errno == EAGAIN) {
            break;
        } else {
            statistics.drop_send++;
            log_line(LOG_ERR, "%s: zframe_send: %d, %s", "feed_socket", errno, zmq_strerror(errno));
        }
        spool_delivered(store);
    }
    spool_save_progress(store);
    publish(record);
    return 0;
}

void spool_text(socket_record *record, const spool_frames *frames)
{
    socket_spool *spool = record->spool;
    int taken = spool_append(spool->store, frames);
    if (taken == SPOOL_TAKEN) {
        unflushed = true;
        (*record->spool_counts[SPOOLED])++;
        latch_taken(record);
        if (!record->spooling)
            start_spooling(record);
    } else {
        (*record->refused)++;
        latch_dropped(record);
        if (taken == SPOOL_FAILED && !spool->failing)
            log_line(LOG_ERR, "%s: %s: %d, %s", "spool_text",
                     optional_strings[record->spool_key].name, errno, strerror(errno));
        spool->failing |= taken == SPOOL_FAILED;
    }
    publish(record);
}

void flush_spools()
{
    if (!unflushed)
        return;
    unflushed = false;
    for (socket_record &record : socket_records) {
        if (!record.spool)
            continue;
        bool written = spool_flush(record.spool->store);
        if (!written && !record.spool->failing)
            log_line(LOG_ERR, "%s: %s: %d, %s", "flush_spools",
                     optional_strings[record.spool_key].name, errno, strerror(errno));
        record.spool->failing = !written;
        publish(&record);
    }
}

// Tells the service manager what the spools hold: at once where they start
// or stop holding texts, and once a second while they hold some.
static void show_held(int64_t now)
{
    char held[256] = "";
    size_t used = 0;
    for (const socket_record &record : socket_records)
        if (record.spool && record.spool_counts[HELD]->get() > 0)
            used += snprintf(held + used, sizeof held - used, "%sheld.%s=%" PRIu64, used ? " " : "",
                             record.label, record.spool_counts[HELD]->get());
    if ((used > 0) == status_held && (used == 0 || now - status_at < STATUS_MSECS))
        return;
    notify_held(held);
    status_held = used > 0;
    status_at = now;
}

void tend_spools()
{
    if (directory_fd == -1)
        return;
    int64_t now = zclock_mono();
    bool durable = now - synced_at >= SYNC_MSECS;
    for (const socket_record &record : socket_records)
        if (record.spool)
            spool_sync(record.spool->store, durable);
    if (durable)
        synced_at = now;
    show_held(now);
}

void save_spools()
{
    flush_spools();
    for (socket_record &record : socket_records) {
        if (!record.spool)
            continue;
        spool_save_progress(record.spool->store);
        spool_sync(record.spool->store, true);
    }
}

// Opens the directory, making it where it is missing, and locks it; logs
// why not.
static bool open_directory(const char *path)
{
    const char *name = optional_strings[SPOOL_DIRECTORY_STR].name;
    if (mkdir(path, 0700) == -1 && errno != EEXIST) {
        log_line(LOG_ERR, "Parameter \"%s\": cannot create %s (%s)", name, path, strerror(errno));
        return false;
    }
    directory_fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd != -1)
        lock_fd = openat(directory_fd, LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_fd == -1 || faccessat(directory_fd, ".", W_OK, AT_EACCESS) == -1) {
        log_line(LOG_ERR, "Parameter \"%s\": cannot write %s (%s)", name, path, strerror(errno));
        return false;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) == -1) {
        char holder[32] = "";
        ssize_t got = pread(lock_fd, holder, sizeof holder - 1, 0);
        holder[got > 0 ? got : 0] = '\0';
        log_line(LOG_ERR, "Parameter \"%s\": %s is locked by another vostrelld (process %s)", name,
                 path, holder);
        return false;
    }
    char pid[32];
    int length = snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if (ftruncate(lock_fd, 0) == -1 || pwrite(lock_fd, pid, length, 0) != length)
        log_line(LOG_ERR, "%s: %s: %d, %s", "create_spools", LOCK_FILE, errno, strerror(errno));
    return true;
}

bool create_spools()
{
    const char *path = optional_strings[SPOOL_DIRECTORY_STR].value;
    bool wanted = false;
    for (const socket_record &record : socket_records)
        wanted |= record.spool_key >= 0 && optional_strings[record.spool_key].value;
    if (!wanted)
        return true;
    if (!open_directory(path)) {
        destroy_spools();
        return false;
    }
    show_counters(SPOOL_COUNTERS);
    for (socket_record &record : socket_records) {
        if (record.spool_key < 0 || !optional_strings[record.spool_key].value)
            continue;
        record.spool_limit = static_cast<uint64_t>(optional_number(record.spool_key, 0));
        spool_t *store = spool_open(directory_fd, path, record.label, record.spool_limit);
        if (!store) {
            log_line(LOG_ERR, "Parameter \"%s\": cannot read %s (%s)",
                     optional_strings[SPOOL_DIRECTORY_STR].name, path, strerror(errno));
            destroy_spools();
            return false;
        }
        record.spool = new socket_spool;
        record.spool->store = store;
        publish(&record);
        if (spool_messages(store) > 0)
            start_spooling(&record);
    }
    synced_at = status_at = zclock_mono();
    return true;
}

bool register_spools(zloop_t *loop)
{
    feeding_loop = loop;
    for (socket_record &record : socket_records)
        if (record.spooling && !record.spool->fed)
            register_feed(&record);
    return true;
}

void destroy_spools()
{
    feeding_loop = nullptr;
    for (socket_record &record : socket_records) {
        if (!record.spool)
            continue;
        spool_close(&record.spool->store);
        delete record.spool;
        record.spool = nullptr;
        record.spooling = false;
        record.spool_limit = 0;
    }
    if (lock_fd != -1)
        close(lock_fd); // and unlocked
    if (directory_fd != -1)
        close(directory_fd);
    lock_fd = directory_fd = -1;
    unflushed = status_held = false;
}
