#include "platform/OXPI_Session.h"

#include <unistd.h>

#include "platform/OXPlatformInfo.h"

bool OXPI_Session::setFocus(const std::string& focus) {
    focus_ = focus;
    return !focus_.empty();
}

std::string OXPI_Session::getHostName() const {
    if (focus_.empty())
        return std::string();
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return platform::KeyStore::getStringOr(platform::kPlatformSection, "SessionHostName", host);
}
