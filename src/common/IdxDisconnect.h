// Draining and closing a connection to a peer.
#pragma once

class COxNetwork;

// Message types of the peer's disconnect request and of a reset connection.
constexpr unsigned long kMsgDisconnectRequest = 0x9000102UL;
constexpr unsigned long kMsgConnectionReset = 0x9000103UL;
// Receive time-outs while waiting for the peer and otherwise, in seconds.
constexpr int kDrainWaitForPeer = 60;
constexpr int kDrainNoWait = 1;
// Time-out passed to the disconnect calls.
constexpr int kDisconnectTimeout = 300;

// Discards the peer's pending messages until it asks to disconnect (answered
// at once), resets the connection, or falls silent; in the last case closes
// the connection unless waiting for the peer, then disconnects the event
// log when asked.
void idxDisconnect(COxNetwork* network, bool waitForPeer, bool disconnectEventLog);
