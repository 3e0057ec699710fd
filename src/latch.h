#pragma once
// The overflow latch: one for both message processors. A text dropped for
// a processor (its socket refused it, or its spool could not take it)
// logs the overflow notice of that processor's socket and sets the latch,
// unless it is set already; the next text that either processor's socket or
// spool takes, a text replayed from a spool included, logs the exemption
// notice of its socket and clears the latch. So "Overflow ..." always means
// that texts are being lost, once per such period. Written by the loop's
// thread only; the metrics endpoint reads it.

#include "socket_table.h"

// A text that the processor's socket or spool of record took.
void latch_taken(const socket_record *record);

// A text dropped for the processor of record.
void latch_dropped(const socket_record *record);

// True while the latch is set: a text for a message processor was dropped
// and neither has taken one since. Read on any thread.
bool overflow_latched();
