#pragma once
// CURVE certificates: the daemon's own key pair ("/curve/certificate"), the
// public keys of the message processors ("/curve/message_processor...",
// kept in their sockets' records), and the directory of the admitted
// clients' certificates ("/curve/clients"), which the authenticator reads.
// Without "/curve/certificate" nothing here is read and no socket speaks
// CURVE.

#include "socket_table.h"

#include <czmq.h>

// Reads the certificates that the configuration names and checks them and
// the clients' directory; the process is made undumpable first, so that no
// core file can hold the secret key. Logs the first key that is unusable
// (or that needs "/curve/certificate" without it) and returns false,
// having wiped what it read.
bool read_certificates();

// True once the daemon's certificate is read: every socket speaks CURVE.
bool curve_enabled();

// Sets up socket, before it binds or connects, for the socket of record:
// the daemon's key pair, and its processor's public key where that is
// known, or else the server's role, in which every peer is authenticated.
// Does nothing where CURVE is not enabled.
void apply_curve(zsock_t *socket, const socket_record *record);

// Wipes the daemon's copy of its secret key, once every socket has it.
void forget_secret_key();

// Wipes every key. Safe when nothing is read and when called twice.
void destroy_certificates();
