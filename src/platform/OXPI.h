// Stand-ins for the platform information objects: the directories and
// identities the platform answers with, read from the key store with
// defaults below the platform home, so a fresh home answers everything.
//
// Platform section ("idxcache.platform"):
//   PlatformKinds  bit mask of the platform kinds installed on this machine:
//                  1 managed client, 2 storage node, 4 central server
//                  (default 7: a single machine that is all three)
//   PlatformType   OXS_PLATFORMTYPE of this process (default 2, storage node)
//   TempDir, IndexCacheDir, JobResultsDir, ProductDir
//                  the directories (see PlatformHome.h); the value "-" means
//                  the platform has no such directory
//
// Section "idxcache.warden", the central server as each platform kind knows it:
//   HostName.<kind>, ClientName.<kind>   the answer of kind 4, 2 or 1; an empty
//                                        value means that kind has no name
//   HostName, ClientName                 the answer of every kind without its
//                                        own key (defaults: the physical machine
//                                        name and the focus client name)
//   RealmId                              the realm id (default 2)
// A kind that is not installed (PlatformKinds) names no central server.
//
// Section "~Machines\<client name>": per-client keys read through
// OXPI_Depot::getIndexCacheDirectory (client, key, path).
#pragma once

#include <string>

constexpr const char* kWardenSection = "idxcache.warden";

// Platform kinds, as bits of PlatformKinds and as OXS_PLATFORMTYPE values.
enum OXPlatformKind {
    OXPlatformRealmClient = 1,
    OXPlatformDepot = 2,
    OXPlatformWardenServer = 4,
};

namespace platform {
// The platform type of this process (key "PlatformType", default 2).
int processPlatformType();
} // namespace platform

// The platform's platform-type value of the calling process.
#define OXS_PLATFORMTYPE (platform::processPlatformType())

class OXPI_Base {
public:
    virtual ~OXPI_Base() = default;
    // The platform's temporary directory (key "TempDir", default <home>/tmp);
    // false when the platform has none.
    static bool getOrbitTempDirectory(std::string& dir);
    // The product's home directory (the platform home itself).
    static bool getHomeDirectory(std::string& dir);
    // What this process runs as (OXS_PLATFORMTYPE): the central server (4),
    // a managed client (1) or a storage node (2).
    static bool isPlatformTypeWarden();
    static bool isPlatformTypeRealmClient();
    static bool isPlatformTypeDepot();
};

// One platform kind as installed on this machine.
class OXPI_PlatformBase : public OXPI_Base {
public:
    explicit OXPI_PlatformBase(int kind) : kind_(kind) {}

    int getKind() const { return kind_; }
    // Non-zero when this kind is not installed on this machine.
    int invalidOXPlatform() const;
    // The product directory (key "ProductDir", default <home>/product);
    // false when the platform has none.
    static bool getOrbitDirectory(std::string& dir);

    // The central server's host and client names as this kind knows them;
    // false when it knows none.
    bool getWardenServerHostName(std::string& name) const;
    bool getWardenServerClientName(std::string& name) const;

private:
    bool wardenName(const char* key, std::string& name) const;

    int kind_;
};

class OXPI_Depot : public OXPI_PlatformBase {
public:
    OXPI_Depot() : OXPI_PlatformBase(OXPlatformDepot) {}

    // The index cache directory of a client (key "IndexCacheDir", one
    // directory for all clients, default <home>/IndexCache); false when the
    // storage node has none.
    bool getIndexCacheDirectory(const char* clientName, std::string& dir) const;
    // A per-client path setting: key of section "~Machines\<client>"; false
    // (and an empty path) when absent or empty.
    bool getIndexCacheDirectory(const char* clientName, const char* key, std::string& path) const;
};

class OXPI_RealmClient : public OXPI_PlatformBase {
public:
    OXPI_RealmClient() : OXPI_PlatformBase(OXPlatformRealmClient) {}

    // The job results directory of a client (key "JobResultsDir", default
    // <home>/JobResults) into a buffer of size bytes; user and password (when
    // given) are emptied, as this platform keeps no account for it. False when
    // there is none, this kind is not installed or the buffer is too small.
    bool getJobResultsDirectory(const char* clientName, char* directory, char* user, char* password,
                                int size) const;
};

class OXPI_WardenServer : public OXPI_PlatformBase {
public:
    // focus: the platform instance to answer for; empty means no focus.
    explicit OXPI_WardenServer(const std::string& focus)
        : OXPI_PlatformBase(OXPlatformWardenServer), focus_(focus) {}

    // The realm id (key "RealmId" of "idxcache.warden", default 2); 0 when
    // there is no focus.
    unsigned long getRealmId() const;

private:
    std::string focus_;
};

// The platform's host name form that carries the client name and the two
// ports: "<host>*<client>*<port1>*<port2>".
std::string MangleHostName(const char* hostName, const char* clientName, int port1, int port2);
