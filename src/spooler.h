#pragma once
// The disk spools of the message processors' sockets, where "/spool/..."
// configures them: what a processor's socket refuses (its queue full, or no
// processor connected) is handed to its spool (spool.h) instead of being
// dropped, and from then on every text for that processor waits behind the
// spool, in order, until the spool has fed it all to the socket again. The
// spool feeds the socket whenever the socket takes messages, a batch per
// turn of the loop, so the inputs never wait for a spool to drain. A socket
// with a spool holds no message while no processor is connected
// (ZMQ_IMMEDIATE): its queue bounds what a broken connection or a stop can
// lose. Without the keys nothing here is made and nothing changes.
// Everything here runs on the main thread.

#include "segment.h"
#include "socket_table.h"

#include <czmq.h>

// Opens "/spool/directory" (making it, 0700, where it is missing), locks it
// against a second daemon, and opens the spool of every processor that has
// its "/spool/..." key, with what an earlier run left in it; a processor
// whose spool holds texts then starts with them. Logs the directory that
// cannot be made, locked or written and returns false, having released
// what it made.
bool create_spools();

// Registers with loop the feeding of the sockets whose spools hold texts,
// and remembers loop for those that start later. Call once the sockets
// exist.
bool register_spools(zloop_t *loop);

// Takes a text for the processor of record, whose socket refused it or
// whose spool holds texts: into its spool, or, where the spool is at its cap
// or the disk is full, dropped and counted as refused. Either goes through
// the overflow latch.
void spool_text(socket_record *record, const spool_frames *frames);

// Writes what the spools took since the last call to their files, so that
// a kill loses none of it. Called after every batch that the receivers take.
void flush_spools();

// Keeps the spools' files on their way to the disk, and syncs them at least
// once a second while they are written. Called at the loop's ticket.
void tend_spools();

// At a stop, once the inputs are drained: writes and syncs what the spools
// hold in memory and where their delivery stands.
void save_spools();

// Closes every spool and unlocks the directory. Safe when there are none
// and when called twice.
void destroy_spools();
