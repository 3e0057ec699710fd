#pragma once
// The inbound input: the receiver of the bound PULL socket, which takes the
// waiting frames a batch at a time and hands each to the router. Everything
// here runs on the main thread.

#include <czmq.h>

// Registers the receiver with loop, polling the inbound socket by its
// descriptor; false where it cannot be. Needs create_sockets() to have
// succeeded.
bool register_inbound(zloop_t *loop);

// Forgets the receiver's registration, once the loop is destroyed.
void forget_inbound();

// Unbinds the inbound endpoint at a stop, so that its producers send to the
// next run; with a linger of grace_msecs its pipes keep what they took
// until it is read.
void unbind_inbound(int grace_msecs);

// Takes the frames waiting on the inbound socket, up to a batch, without
// waiting, and routes each in turn. Their number, or -1 with errno set where
// the first receive fails (EAGAIN: none was waiting).
int take_frames();

// Receiver of the inbound socket, called by the loop when the socket's
// descriptor (ZMQ_FD) is readable: takes every message waiting, up to a
// batch, without waiting, routes each in turn and returns 0; where the batch
// ends before the messages do, has the loop call it again at once. Logs a
// receive that failed other than for want of messages and returns 1. It
// never ends the loop.
int subscriber_socket_handler(zloop_t *loop, zmq_pollitem_t *poll_item, void *arg);
