#include "spool.h"

#include "log.h"
#include "spool_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <czmq.h>
#include <deque>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

// A file takes a sixteenth of the cap within these bounds, so the cap is met
// within a file's size; larger files would spare little.
static const uint64_t MIN_SEGMENT_SIZE = 64 * 1024;
static const uint64_t MAX_SEGMENT_SIZE = 16 * 1024 * 1024;

// Bytes written per call, and what the buffer keeps after a larger message.
static const size_t BUFFER_SIZE = 256 * 1024;
static const size_t KEPT_BUFFER_SIZE = 1024 * 1024;

// How long a spool that found the disk full refuses before it tries again.
static const int64_t FULL_DISK_RETRY_MSECS = 100;

struct spool_t {
    spool_location where;
    uint64_t cap, segment_size;
    std::deque<segment_entry> segments; // oldest first
    uint64_t next_sequence = 1;
    uint64_t messages = 0, bytes = 0, lost = 0, damaged = 0;
    int64_t retry_at = 0; // no new file before this time (zclock_mono)

    // The newest file while messages are added to it (-1: none, the next
    // makes one), its reserved room, what of it is on disk, what is not yet.
    int tail_fd = -1;
    uint64_t reserved = 0, flushed = 0;
    std::vector<uint8_t> pending;
    uint32_t pending_records = 0;

    // Files sealed but not yet synced, and what changed since the last sync.
    std::vector<int> unsynced;
    bool directory_changed = false, written = false, progressed = false;

    // The oldest file while it is read (-1: not open), what of it the buffer
    // holds, the size of the record last peeked, whether to save progress.
    int head_fd = -1;
    read_buffer buffer;
    size_t peeked = 0;
    bool progress_unsaved = false;
};

// True where segment is the one being written.
static bool is_tail(const spool_t *spool, const segment_entry *segment)
{
    return spool->tail_fd != -1 && segment == &spool->segments.back();
}

spool_t *spool_open(int directory_fd, const char *directory_path, const char *name, uint64_t cap)
{
    spool_t *spool = new spool_t;
    spool->where = {directory_fd, directory_path, name};
    spool->cap = cap;
    spool->segment_size = std::min(MAX_SEGMENT_SIZE, std::max(MIN_SEGMENT_SIZE, cap / 16));
    if (!read_segments(&spool->where, &spool->segments, &spool->next_sequence, &spool->damaged)) {
        delete spool;
        return nullptr;
    }
    for (const segment_entry &segment : spool->segments) {
        spool->messages += segment.records - segment.delivered;
        spool->bytes += segment.end;
    }
    spool->pending.reserve(BUFFER_SIZE);
    return spool;
}

// Seals the newest file, which gets no more records, gives back its room
// beyond what it holds, and keeps it for the next durable sync.
static void seal_tail(spool_t *spool)
{
    segment_entry *tail = &spool->segments.back();
    write_mark(spool->tail_fd, SEAL_OFFSET, {tail->end, tail->records});
    fallocate(spool->tail_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
              static_cast<off_t>(tail->end), static_cast<off_t>(spool->reserved - tail->end));
    spool->bytes -= spool->reserved - tail->end;
    spool->unsynced.push_back(spool->tail_fd);
    spool->tail_fd = -1;
}

// Starts a new file with room for a record of size bytes: SPOOL_TAKEN, or
// why not.
static int start_tail(spool_t *spool, size_t size)
{
    uint64_t room = std::max<uint64_t>(spool->segment_size, SEGMENT_HEADER_SIZE + size);
    uint64_t unused = spool->tail_fd != -1 ? spool->reserved - spool->segments.back().end : 0;
    if (spool->bytes - unused + room > spool->cap)
        return SPOOL_AT_CAP;
    if (zclock_mono() < spool->retry_at) {
        errno = ENOSPC;
        return SPOOL_FAILED;
    }
    if (!spool_flush(spool))
        return SPOOL_FAILED;
    int fd = create_segment(&spool->where, spool->next_sequence, &room, SEGMENT_HEADER_SIZE + size);
    if (fd == -1) {
        if (errno == ENOSPC)
            spool->retry_at = zclock_mono() + FULL_DISK_RETRY_MSECS;
        return SPOOL_FAILED;
    }
    if (spool->tail_fd != -1)
        seal_tail(spool);
    spool->segments.push_back(
        {spool->next_sequence++, SEGMENT_HEADER_SIZE, 0, SEGMENT_HEADER_SIZE, 0});
    spool->tail_fd = fd;
    spool->reserved = room;
    spool->flushed = SEGMENT_HEADER_SIZE;
    spool->bytes += room;
    spool->directory_changed = true;
    return SPOOL_TAKEN;
}

int spool_append(spool_t *spool, const spool_frames *frames)
{
    size_t size = record_size(frames);
    if (size == 0) {
        errno = EMSGSIZE;
        return SPOOL_FAILED;
    }
    if (spool->tail_fd == -1 || spool->segments.back().end + size > spool->reserved) {
        int started = start_tail(spool, size);
        if (started != SPOOL_TAKEN)
            return started;
    }
    size_t at = spool->pending.size();
    spool->pending.resize(at + size);
    encode_record(frames, spool->pending.data() + at);
    spool->pending_records++;
    spool->segments.back().end += size;
    spool->segments.back().records++;
    spool->messages++;
    return SPOOL_TAKEN;
}

bool spool_flush(spool_t *spool)
{
    if (spool->pending.empty())
        return true;
    bool written =
        write_at(spool->tail_fd, spool->pending.data(), spool->pending.size(), spool->flushed);
    int write_errno = errno;
    segment_entry *tail = &spool->segments.back();
    if (written) {
        spool->flushed += spool->pending.size();
        spool->written = true;
    } else {
        // A part written would be a torn record: the file ends where it did.
        if (ftruncate(spool->tail_fd, static_cast<off_t>(spool->flushed)) == -1)
            log_line(LOG_ERR, "%s: ftruncate: %d, %s", "spool_flush", errno, strerror(errno));
        tail->end = spool->flushed;
        tail->records -= spool->pending_records;
        spool->messages -= spool->pending_records;
        spool->lost += spool->pending_records;
    }
    spool->pending.clear();
    if (spool->pending.capacity() > KEPT_BUFFER_SIZE)
        std::vector<uint8_t>().swap(spool->pending);
    spool->pending_records = 0;
    errno = write_errno;
    return written;
}

// Closes and removes the oldest file, all of it delivered or set aside.
static void remove_head(spool_t *spool)
{
    segment_entry *head = &spool->segments.front();
    if (is_tail(spool, head)) {
        close(spool->tail_fd);
        spool->tail_fd = -1;
        spool->bytes -= spool->reserved - head->end;
    }
    if (spool->head_fd != -1)
        close(spool->head_fd);
    spool->head_fd = -1;
    spool->bytes -= head->end;
    remove_segment(&spool->where, head->sequence);
    spool->segments.pop_front();
    spool->directory_changed = true;
    spool->buffer.length = 0;
    spool->progress_unsaved = false;
}

// Sets aside the rest of the head from its next record on, damaged; a file
// being written gets no more records. Where the file is gone, what it held
// is lost.
static void set_aside_rest(spool_t *spool)
{
    segment_entry *head = &spool->segments.front();
    uint32_t rest = head->records - head->delivered;
    if (is_tail(spool, head)) {
        spool_flush(spool);
        rest = head->records - head->delivered;
        seal_tail(spool);
    }
    if (spool->head_fd != -1)
        set_aside(&spool->where, spool->head_fd, head->sequence, head->read, head->end);
    spool->damaged += rest > 0 ? rest : 1;
    spool->messages -= rest;
    spool->bytes -= head->end - head->read; // cut there
    head->records = head->delivered;
    head->end = head->read;
}

int spool_peek(spool_t *spool, spool_frames *frames)
{
    while (!spool->segments.empty()) {
        segment_entry *head = &spool->segments.front();
        if (is_tail(spool, head) && head->read >= spool->flushed)
            spool_flush(spool);
        uint64_t end = is_tail(spool, head) ? spool->flushed : head->end;
        if (head->read >= end) {
            remove_head(spool); // all of it delivered
            continue;
        }
        if (spool->head_fd == -1)
            spool->head_fd = open_segment(&spool->where, head->sequence);
        if (head->delivered >= head->records) { // more records than its seal counts
            set_aside_rest(spool);
            return SPOOL_SET_ASIDE;
        }
        size_t size;
        if (spool->head_fd != -1 && read_record(&spool->buffer, spool->head_fd, head->read, end,
                                                &size, frames) == RECORD_GOOD) {
            spool->peeked = size;
            return SPOOL_MESSAGE;
        }
        set_aside_rest(spool);
        return SPOOL_SET_ASIDE;
    }
    return SPOOL_EMPTY;
}

void spool_delivered(spool_t *spool)
{
    segment_entry *head = &spool->segments.front();
    head->read += spool->peeked;
    head->delivered++;
    spool->messages--;
    spool->peeked = 0;
    spool->progress_unsaved = true;
    if (head->read == head->end && !is_tail(spool, head))
        remove_head(spool);
}

void spool_save_progress(spool_t *spool)
{
    if (!spool->progress_unsaved || spool->head_fd == -1)
        return;
    const segment_entry *head = &spool->segments.front();
    write_mark(spool->head_fd, PROGRESS_OFFSET, {head->read, head->delivered});
    spool->progress_unsaved = false;
    spool->progressed = true;
}

void spool_sync(spool_t *spool, bool durable)
{
    if (!durable) {
        if (spool->written && spool->tail_fd != -1)
            sync_file_range(spool->tail_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        return;
    }
    for (int fd : spool->unsynced) {
        fdatasync(fd);
        close(fd);
    }
    spool->unsynced.clear();
    if (spool->written && spool->tail_fd != -1)
        fdatasync(spool->tail_fd);
    if (spool->progressed && spool->head_fd != -1)
        fdatasync(spool->head_fd);
    if (spool->directory_changed)
        fsync(spool->where.directory);
    spool->written = spool->progressed = spool->directory_changed = false;
}

void spool_close(spool_t **spool_p)
{
    spool_t *spool = *spool_p;
    if (!spool)
        return;
    spool_flush(spool);
    spool_save_progress(spool);
    if (spool->tail_fd != -1)
        seal_tail(spool);
    spool_sync(spool, true);
    if (spool->head_fd != -1)
        close(spool->head_fd);
    delete spool;
    *spool_p = nullptr;
}

void spool_take_losses(spool_t *spool, uint64_t *lost, uint64_t *damaged)
{
    *lost = spool->lost;
    *damaged = spool->damaged;
    spool->lost = spool->damaged = 0;
}

uint64_t spool_messages(const spool_t *spool)
{
    return spool->messages;
}

uint64_t spool_bytes(const spool_t *spool)
{
    return spool->bytes;
}
