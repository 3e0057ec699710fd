#pragma once
// A disk spool: the messages that one processor refused, kept in the order
// they came in segment files (segment.h) of one directory, "NAME-SEQUENCE.spool",
// until they are delivered. Messages are added at the newest file and read
// from the oldest; a file is removed once all its messages are delivered,
// so the disk is given back as the spool drains. Records are written in
// batches (spool_flush) and made durable at most once a call of spool_sync,
// never once per message. Memory stays bounded whatever the spool holds:
// a write buffer, a read buffer (each growing for one larger message only)
// and a few words per file.
//
// A file left by an earlier run is checked when the spool opens, never read
// whole into memory: a record cut short at its end (a kill mid-write) is cut
// off, a record whose length or checksum fails is set aside with the rest of
// its file in "FILE.damaged", and a file that is not a spool file of this
// daemon is renamed "FILE.damaged"; each is logged once and counted as
// damaged. Records damaged later on disk are found and set aside alike as
// they are read.

#include "segment.h"

#include <cstdint>

struct spool_t;

// Opens the spool name ("processor", "backyard") in the directory
// directory_fd, whose path, for the log, is directory_path, with room for
// cap bytes of files: reads what an earlier run left there, oldest first.
// Never fails on a file: what it cannot use it sets aside. Null only where
// the directory cannot be read, with errno set.
spool_t *spool_open(int directory_fd, const char *directory_path, const char *name, uint64_t cap);

// Flushes, saves the progress, syncs, closes the files and releases the
// spool. Safe on null.
void spool_close(spool_t **spool);

// What spool_append did with a message.
enum { SPOOL_TAKEN, SPOOL_AT_CAP, SPOOL_FAILED };

// Adds a message (its frames) at the end of the spool, in memory until the
// next spool_flush, or in a new file where the last one is full. Refuses
// it where the files would pass the cap (SPOOL_AT_CAP), or where a new file
// cannot be made (SPOOL_FAILED, errno set: ENOSPC on a full disk, which is
// then not tried again for 100 ms).
int spool_append(spool_t *spool, const spool_frames *frames);

// Writes the messages added since the last call to the file, without
// syncing. Where that fails they are lost (spool_take_losses), errno is set
// and false returned.
bool spool_flush(spool_t *spool);

// What spool_peek found.
enum { SPOOL_MESSAGE, SPOOL_EMPTY, SPOOL_SET_ASIDE };

// The oldest message not yet delivered, into frames (valid until the next
// call on the spool): SPOOL_MESSAGE. SPOOL_EMPTY where none is left, once
// everything added has been delivered: the spool's files are then gone.
// SPOOL_SET_ASIDE where the next record was damaged: it and the rest of its
// file are set aside (spool_take_losses); peek again. Messages added but not
// yet flushed are flushed first where they are next.
int spool_peek(spool_t *spool, spool_frames *frames);

// Marks the message of the last spool_peek delivered.
void spool_delivered(spool_t *spool);

// Writes where delivery stands into the oldest file, so that a spool opened
// after a kill starts there (a write into the page cache, no sync).
void spool_save_progress(spool_t *spool);

// Hands what was written to the disk: with durable, waits until it is
// there (fdatasync, and the directory where files came or went); without,
// only starts the writing, so that the next durable sync finds little left.
void spool_sync(spool_t *spool, bool durable);

// The messages lost to a failed write, and the records set aside as
// damaged, since the last call (since the spool opened, at the first).
void spool_take_losses(spool_t *spool, uint64_t *lost, uint64_t *damaged);

// The messages the spool holds, and the bytes of disk its files take (a
// file being written counts with its whole reserved room).
uint64_t spool_messages(const spool_t *spool);
uint64_t spool_bytes(const spool_t *spool);
