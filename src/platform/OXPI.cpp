#include "platform/OXPI.h"

#include "platform/PlatformHome.h"

bool OXPI_Base::getOrbitTempDirectory(std::string& dir) {
    dir = platform::tempDirectory();
    return !dir.empty();
}
