#pragma once

// How much the blocking endpoint takes on at once. Every connection costs a descriptor and at most
// maxRequestBytes of memory, so the endpoint never holds more than maxConnections of either.
struct BlockingLimits
{
    // Connections open at once; a new one beyond this closes the oldest that has not been answered yet.
    int maxConnections = 256;
    // Bytes a request head may take; a connection that sends more without ending its head is closed.
    int maxRequestBytes = 16 * 1024;
    // How long a connection may take from its opening to a complete request head (a client that trickles its
    // head never resets this), and, once answered, how long it is given to close its side.
    int requestTimeoutMs = 15000;
};
