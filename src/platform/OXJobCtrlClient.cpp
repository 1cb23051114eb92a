#include "platform/OXJobCtrlClient.h"

#include <string>

#include "platform/OXJobClient.h"
#include "platform/OXPlatformInfo.h"

bool OXJobCtrlClient::checkQuitFlag() {
    ++queries_;
    std::string value;
    return platform::KeyStore::get(kJobsSection, std::to_string(jobId_), value) && value == "quit";
}
