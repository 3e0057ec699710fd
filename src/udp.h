#pragma once
// The UDP input: one socket, listening on the address of "/udpaddress", IPv4
// or IPv6 (by default on all local IPv4 addresses) and the port of
// "/udpport", and its receiver, which takes the waiting datagrams a batch at
// a time and hands each to the router. Everything here runs on the main
// thread.

#include <czmq.h>

// The UDP socket; -1 while there is none.
extern int udp_sock_descriptor;

// Takes the passed UDP socket of the configured address and port, or
// creates and binds one, and makes the batch it is read into; sizes the
// receive buffer of a socket of the daemon's own (its own, or its own from
// the store) as "/udp_receive_buffer" asks. Where "/allow" is set, every
// datagram's source is checked against it. On failure logs
// "create_sockets: udp_new: ..." and returns false, having released what it
// made.
bool create_udp_socket();

// Registers the receiver with loop; false where it cannot be.
bool register_udp(zloop_t *loop);

// Hands a UDP socket of the daemon's own to the service manager's store,
// so that a restart keeps its port. Call once the daemon is up.
void store_udp_socket();

// The receive buffer that the kernel granted the UDP socket, in the bytes
// of "/udp_receive_buffer" (half what SO_RCVBUF reports); read with the
// socket, fixed while it exists.
int udp_receive_buffer_granted();

// Closes the UDP socket and releases its batch. Safe when there is none.
void destroy_udp_socket();

// Adds what the kernel dropped for a full receive buffer since the last
// call (since the socket was taken, at the first) to drop_udp_kernel. Costs
// a system call: call it at the loop's wake-up ticket and before the
// counters are shown, never per datagram; the count then lags by at most
// the ticket's period. Does nothing while there is no socket.
void count_udp_kernel_drops();

// Takes the datagrams waiting, up to a batch, without waiting, and routes
// each in turn; their number, or -1 with errno set where the receive fails
// (EAGAIN: none was waiting).
int take_datagrams();
