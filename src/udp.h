#pragma once
// The UDP input: one socket, listening on the address of "/udpaddress" (by
// default on all local IPv4 addresses) and the port of "/udpport", and its
// receiver, which takes the waiting datagrams a batch at a time and hands
// each to the router. Everything here runs on the main thread.

#include <czmq.h>

// The UDP socket; -1 while there is none.
extern int udp_sock_descriptor;

// Creates and binds the UDP socket and the batch it is read into. On
// failure logs "create_sockets: udp_new: ..." and returns false, having
// released what it made.
bool create_udp_socket();

// Closes the UDP socket and releases its batch. Safe when there is none.
void destroy_udp_socket();

// Receiver called by the loop: takes every datagram waiting, up to a
// batch, routes each in turn and returns 0; logs a receive that found
// nothing at all and returns 1. It never ends the loop.
int udp_socket_handler(zloop_t *loop, zmq_pollitem_t *poll_item, void *arg);
