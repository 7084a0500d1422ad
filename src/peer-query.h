#pragma once
// Reads the connected controller's list of CAN peers ("fwupdate peers") into peer records.
// Does not decide which peers to update.

#include <cstddef>

struct serial_port;

inline constexpr std::size_t PEER_FIELD_SIZE = 16; // 15 characters and a NUL

struct peer {
    char serial[PEER_FIELD_SIZE];
    char type[PEER_FIELD_SIZE]; // "reader" marks a reader; any other text a controller
};

// Sends "fwupdate peers" and fills up to `capacity` records in listing order. Returns the number
// filled once the END line arrives, or -1 after one ERROR line on stderr.
int query_peers(serial_port* port, peer* peers, int capacity);
