#include "spool_files.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static const char SUFFIX[] = ".spool";
static const char DAMAGED_SUFFIX[] = ".damaged";

static std::string file_name(const spool_location *where, uint64_t sequence)
{
    char name[64];
    snprintf(name, sizeof name, "-%016" PRIx64 "%s", sequence, SUFFIX);
    return where->name + std::string(name);
}

// The file's path, for the log.
static std::string path_of(const spool_location *where, const std::string &file)
{
    return std::string(where->path) + "/" + file;
}

// The sequence number of file, where it is named as a file of the spool
// (with the damaged suffix where damaged is set).
static bool parse_name(const spool_location *where, const std::string &file, bool damaged,
                       uint64_t *sequence)
{
    std::string prefix = std::string(where->name) + "-";
    std::string suffix = std::string(SUFFIX) + (damaged ? DAMAGED_SUFFIX : "");
    if (file.size() != prefix.size() + 16 + suffix.size() ||
        file.compare(0, prefix.size(), prefix) ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix))
        return false;
    std::string digits = file.substr(prefix.size(), 16);
    if (digits.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    *sequence = strtoull(digits.c_str(), nullptr, 16);
    return true;
}

// Reserves *room bytes for the file open as fd, or fewer down to needed
// where the disk is too full; true where the file system reserves none.
static bool reserve(int fd, uint64_t *room, uint64_t needed)
{
    for (;;) {
        if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(*room)) == 0 ||
            errno == EOPNOTSUPP)
            return true;
        if (errno != ENOSPC || *room == needed)
            return false;
        *room = std::max(needed, *room / 2);
    }
}

int create_segment(const spool_location *where, uint64_t sequence, uint64_t *room, uint64_t needed)
{
    std::string file = file_name(where, sequence);
    int fd = openat(where->directory, file.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1)
        return -1;
    uint8_t header[SEGMENT_HEADER_SIZE];
    encode_header(header);
    // Records written into reserved room never find the disk full.
    if (write_at(fd, header, sizeof header, 0) && reserve(fd, room, needed))
        return fd;
    int create_errno = errno;
    close(fd);
    unlinkat(where->directory, file.c_str(), 0);
    errno = create_errno;
    return -1;
}

int open_segment(const spool_location *where, uint64_t sequence)
{
    std::string file = file_name(where, sequence);
    int fd = openat(where->directory, file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        log_line(LOG_ERR, "spool: %s: open: %d, %s", path_of(where, file).c_str(), errno,
                 strerror(errno));
    return fd;
}

void remove_segment(const spool_location *where, uint64_t sequence)
{
    std::string file = file_name(where, sequence);
    if (unlinkat(where->directory, file.c_str(), 0) == -1 && errno != ENOENT)
        log_line(LOG_ERR, "spool: %s: unlink: %d, %s", path_of(where, file).c_str(), errno,
                 strerror(errno));
}

void set_aside(const spool_location *where, int fd, uint64_t sequence, uint64_t from, uint64_t end)
{
    std::string file = file_name(where, sequence), damaged = file + DAMAGED_SUFFIX;
    int out = openat(where->directory, damaged.c_str(),
                     O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::vector<uint8_t> chunk(256 * 1024);
    for (uint64_t at = from; out != -1 && at < end;) {
        size_t got = read_at(fd, chunk.data(), std::min<uint64_t>(chunk.size(), end - at), at);
        if (got == 0 || write(out, chunk.data(), got) != static_cast<ssize_t>(got))
            break;
        at += got;
    }
    if (out != -1) {
        fsync(out);
        close(out);
    }
    if (ftruncate(fd, static_cast<off_t>(from)) == -1)
        log_line(LOG_ERR, "spool: %s: ftruncate: %d, %s", path_of(where, file).c_str(), errno,
                 strerror(errno));
    log_line(LOG_ERR,
             "spool: %s: a damaged record at byte %" PRIu64 ", set aside with the rest in %s",
             path_of(where, file).c_str(), from, path_of(where, damaged).c_str());
}

// Renames file, which is no file of this spool, "FILE.damaged".
static void set_aside_file(const spool_location *where, const std::string &file)
{
    std::string damaged = file + DAMAGED_SUFFIX;
    renameat(where->directory, file.c_str(), where->directory, damaged.c_str());
    log_line(LOG_ERR, "spool: %s: not a spool file of this daemon, set aside as %s",
             path_of(where, file).c_str(), path_of(where, damaged).c_str());
}

// Reads the records of the file open as fd, size bytes long, from the
// header on, into segment: its end and records, and its progress where that
// falls on a record. Cuts off a record cut short, sets a damaged one aside
// with the rest, and adds either to *damaged.
static void check_records(const spool_location *where, int fd, uint64_t size,
                          const segment_mark *progress, segment_entry *segment, uint64_t *damaged)
{
    read_buffer buffer;
    uint64_t offset = SEGMENT_HEADER_SIZE;
    int found = RECORD_GOOD;
    segment->records = 0;
    while (offset < size) {
        size_t record;
        spool_frames frames;
        found = read_record(&buffer, fd, offset, size, &record, &frames);
        if (found != RECORD_GOOD)
            break;
        offset += record;
        segment->records++;
        if (progress && progress->offset == offset && progress->records == segment->records) {
            segment->read = offset;
            segment->delivered = segment->records;
        }
    }
    segment->end = offset;
    if (found == RECORD_TORN) {
        log_line(LOG_ERR, "spool: %s: a record cut short at byte %" PRIu64 ", cut off",
                 path_of(where, file_name(where, segment->sequence)).c_str(), offset);
        if (ftruncate(fd, static_cast<off_t>(offset)) == -1)
            log_line(LOG_ERR, "%s: ftruncate: %d, %s", "check_records", errno, strerror(errno));
    } else if (found == RECORD_BAD) {
        set_aside(where, fd, segment->sequence, offset, size);
    }
    *damaged += offset < size;
    write_mark(fd, SEAL_OFFSET, {segment->end, segment->records});
}

// Checks the file of segment->sequence into segment: false where it is not
// one of this spool's (it is then set aside) or was empty.
static bool check_segment(const spool_location *where, segment_entry *segment, uint64_t *damaged)
{
    std::string file = file_name(where, segment->sequence);
    int fd = openat(where->directory, file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat status = {};
    uint8_t header[SEGMENT_HEADER_SIZE];
    bool ours = fd != -1 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                read_at(fd, header, sizeof header, 0) == sizeof header && header_is_ours(header);
    if (!ours && fd != -1 && S_ISREG(status.st_mode) && status.st_size == 0) {
        unlinkat(where->directory, file.c_str(), 0); // made by a run killed at once
        close(fd);
        return false;
    }
    if (!ours) {
        set_aside_file(where, file);
        (*damaged)++;
        if (fd != -1)
            close(fd);
        return false;
    }
    segment_mark seal, progress;
    bool progressed = decode_mark(header, PROGRESS_OFFSET, &progress);
    segment->read = SEGMENT_HEADER_SIZE;
    segment->delivered = 0;
    if (decode_mark(header, SEAL_OFFSET, &seal) && seal.offset <= uint64_t(status.st_size)) {
        segment->end = seal.offset;
        segment->records = seal.records;
        if (progressed && progress.offset <= seal.offset && progress.records <= seal.records) {
            segment->read = progress.offset;
            segment->delivered = progress.records;
        }
    } else {
        check_records(where, fd, static_cast<uint64_t>(status.st_size),
                      progressed ? &progress : nullptr, segment, damaged);
    }
    close(fd);
    return true;
}

bool read_segments(const spool_location *where, std::deque<segment_entry> *segments,
                   uint64_t *next_sequence, uint64_t *damaged)
{
    int listing = dup(where->directory);
    DIR *directory = listing != -1 ? fdopendir(listing) : nullptr;
    if (!directory) {
        if (listing != -1)
            close(listing);
        return false;
    }
    rewinddir(directory);
    std::vector<uint64_t> found;
    std::vector<std::string> foreign;
    std::string prefix = std::string(where->name) + "-";
    *next_sequence = 1;
    while (struct dirent *entry = readdir(directory)) {
        std::string file = entry->d_name;
        uint64_t sequence;
        if (parse_name(where, file, false, &sequence))
            found.push_back(sequence);
        else if (parse_name(where, file, true, &sequence))
            *next_sequence = std::max(*next_sequence, sequence + 1);
        else if (file.size() > prefix.size() + strlen(SUFFIX) &&
                 file.compare(0, prefix.size(), prefix) == 0 &&
                 file.compare(file.size() - strlen(SUFFIX), strlen(SUFFIX), SUFFIX) == 0)
            foreign.push_back(file);
    }
    closedir(directory);
    for (const std::string &file : foreign)
        set_aside_file(where, file);
    *damaged += foreign.size();
    std::sort(found.begin(), found.end());
    for (uint64_t sequence : found) {
        segment_entry segment = {sequence, 0, 0, 0, 0};
        *next_sequence = std::max(*next_sequence, sequence + 1);
        if (!check_segment(where, &segment, damaged))
            continue;
        if (segment.delivered == segment.records)
            remove_segment(where, sequence);
        else
            segments->push_back(segment);
    }
    return true;
}
