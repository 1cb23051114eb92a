// Who and where this machine is: the central server, the client name, host
// name and client id, and the platform's temporary directory.
#pragma once

#include <string>

// Ports carried by the mangled name of the central server.
constexpr int kWardenPort1 = 8400;
constexpr int kWardenPort2 = 8402;

// The central server's host name, asked of platform kinds 4, 2 and 1 in that
// order; empty when none names it.
std::string getWarden();
// The central server as MangleHostName of its host and client names; empty
// when either is missing.
std::string getWardenMangled();

// The platform's temporary directory, made (mode 0755) when missing; empty
// when the platform has none.
std::string getMyTempDir();

// The client name (clientName, else the focus client, else the physical
// machine) when returnClientName is set; otherwise that client's host name,
// mangled or not. Empty when the host name cannot be determined.
std::string getMyHostName(const char* clientName, bool returnClientName, bool mangled);

// This machine's client id; 0 on any failure.
unsigned long getMyClientId(const char* clientName);
