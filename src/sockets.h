#pragma once
// The set-up of the daemon's endpoints: the three bound messaging sockets,
// the UDP socket and the two push sockets, made from the configuration in
// that order, with the sockets that the service manager passed where they
// match, and released again. Everything here runs on the main thread.

#include <cstddef>

// Creates, in order, the three bound messaging sockets, the UDP socket and
// the two push sockets from the loaded configuration, taking the sockets
// that the service manager passed where they match, and closes the passed
// sockets that match nothing. On failure logs the failed step, releases
// whatever exists and returns false.
bool create_sockets();

// Releases every endpoint that exists: push sockets, UDP socket, bound
// sockets. Safe after a partial set-up and when called twice. Destroy the
// reactor first (destroy_reactor).
void destroy_sockets();

// Writes what the daemon listens on into text, as bound: "inbound ENDPOINT,
// UDP ADDRESS:PORT, publisher ENDPOINT, gateway ENDPOINT". Needs
// create_sockets() to have succeeded.
void describe_endpoints(char *text, size_t size);
