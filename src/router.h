#pragma once
// The router: picks the route of every received text by its prefix and
// sends it on one of the output sockets without waiting.

// Routes one NUL-terminated text. The caller keeps ownership of the text;
// the router may write into it while it runs and keeps no reference to it.
// Failures are logged and the text is dropped.
void send_data(char *message);
