#pragma once
// The router: picks the route of every received text by its prefix and
// sends it on one of the output sockets without waiting.

#include <zmq.h>

// Routes one NUL-terminated text. The caller keeps ownership of the text;
// the router may write into it while it runs and keeps no reference to it.
// Failures are logged and the text is dropped.
void send_data(char *message);

// Routes the text that a received frame holds, up to its first NUL byte if
// it has one. A text for the publisher that is the whole frame leaves as
// that very frame, which is then empty; otherwise the frame stays the
// caller's, and the router may write into its data while it runs.
void send_frame(zmq_msg_t *frame);
