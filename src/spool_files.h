#pragma once
// The files of a spool (spool.h) in its directory: finding and checking
// those an earlier run left, making, opening and removing them, and setting
// a damaged part aside. Every file is opened relative to the directory's
// descriptor, never through a symbolic link, and made 0600. A file is
// "NAME-SEQUENCE.spool", SEQUENCE 16 hexadecimal digits, counting up.

#include "segment.h"

#include <cstdint>
#include <deque>

// Where a spool's files are: the directory, its path for the log, and the
// spool's name.
struct spool_location {
    int directory;
    const char *path;
    const char *name;
};

// One file of a spool: its sequence number, the offset of its end and the
// records before it, and the offset of the next record to deliver and the
// records delivered before it.
struct segment_entry {
    uint64_t sequence;
    uint64_t end;
    uint32_t records;
    uint64_t read;
    uint32_t delivered;
};

// Finds the spool's files in its directory, oldest first, into segments,
// and the sequence number of the next new one. A file that is not sealed
// (the last one a run wrote, or one that a kill or power loss left without
// its seal) is read through once and sealed: a record cut short at its end
// is cut off, and a damaged one set aside with the rest of the file. A file
// that is not a spool file is renamed "FILE.damaged", and one already
// delivered is removed. Each damaged record or file is logged and added to
// *damaged. False, errno set, where the directory cannot be read.
bool read_segments(const spool_location *where, std::deque<segment_entry> *segments,
                   uint64_t *next_sequence, uint64_t *damaged);

// Makes file sequence with its header and *room bytes reserved on disk
// (where the file system can reserve), or on a disk too full for them as
// many as it can reserve down to needed, which *room then tells; its
// descriptor, or -1 with errno set (ENOSPC where the disk is full).
int create_segment(const spool_location *where, uint64_t sequence, uint64_t *room, uint64_t needed);

// Opens file sequence for reading and for its progress; -1, logged, where
// it cannot be.
int open_segment(const spool_location *where, uint64_t sequence);

// Removes file sequence.
void remove_segment(const spool_location *where, uint64_t sequence);

// Sets the bytes from..end of file sequence (open as fd) aside, damaged:
// copies them to "FILE.damaged" and cuts the file at from. Logs it once.
void set_aside(const spool_location *where, int fd, uint64_t sequence, uint64_t from, uint64_t end);
