// The platform's network connection to a peer process, as far as the library
// drains and closes it. Messages are received into a buffer the caller owns.
#pragma once

#include <cstddef>

class COxNetwork {
public:
    // Result of receive when no message arrived within the time-out.
    static constexpr int kReceiveTimeout = -2;

    virtual ~COxNetwork() = default;

    // Waits at most timeoutSeconds for the next message and places it in
    // buffer: 0, kReceiveTimeout, or another (error) code.
    virtual int receive(void* buffer, std::size_t size, int timeoutSeconds) = 0;
    // The type of the message held in buffer.
    virtual unsigned long getMessageType(const void* buffer) const = 0;
    // Releases what the platform attached to the message in buffer.
    virtual void freeMessage(void* buffer) = 0;
    // Answers the peer's disconnect request; 0 on success.
    virtual int ReplyDisconnect(int timeoutSeconds) = 0;
    // Asks the peer to disconnect and closes; 0 on success.
    virtual int Disconnect(int timeoutSeconds) = 0;
    // The text of the last failure.
    virtual const char* getErrorText() const = 0;
    // Drops the connection without a handshake (the peer reset it).
    virtual void reset() = 0;
    // Disconnects the event log that travels with the connection.
    virtual void disconnectEventLog() = 0;
};
