// Receive a given number of bytes from a socket.
#pragma once

// The number of bytes received (fewer when the peer closes), -1 on error, -2
// when timeoutSeconds passed without data. Only the first bytes are waited
// for with the time-out (0: no time-out); later receives block.
int sockRecv(int socket, char* buffer, int length, int flags, unsigned int timeoutSeconds);
