// Stand-ins for the platform information objects: the directories and
// identities the platform answers with, read from the key store's platform
// section with defaults below the platform home.
#pragma once

#include <string>

class OXPI_Base {
public:
    virtual ~OXPI_Base() = default;
    // The platform's temporary directory (key "TempDir", default <home>/tmp);
    // false when the platform has none.
    static bool getOrbitTempDirectory(std::string& dir);
};
