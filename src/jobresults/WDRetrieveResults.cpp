#include <algorithm>
#include <cstdio>

#include "jobresults/RetrieveResults.h"
#include "platform/CNMessageBase.h"
#include "platform/COxRemoteCommand.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"

namespace {

// The remote-command message of the platform session.
constexpr int kSessionSubsystem = 9, kExecuteRemoteCommand = 45;
constexpr size_t kMaxWardenClient = 256, kMaxMachine = 255;
constexpr int kAttachSeconds = 120;

} // namespace

WDRetrieveResults::WDRetrieveResults(unsigned int realmId, long long jobId, ResultsFile kind,
                                     const char* host, unsigned int appId)
    : realmId_(realmId), jobId_(jobId), kind_(kind), host_(host ? host : ""),
      hasHost_(host != nullptr), appId_(appId) {
    setDebugPrefix("WDRETRIEVERESULTS");
}

std::string WDRetrieveResults::requestText(int64_t seqNo, int64_t lineNumber,
                                           int64_t numLines) const {
    char text[160];
    if (appId_ != 0)
        std::snprintf(text, sizeof text, "%u %llu %d %lld %lld %lld %u", realmId_,
                      static_cast<unsigned long long>(jobId_), static_cast<int>(kind_),
                      static_cast<long long>(seqNo), static_cast<long long>(lineNumber),
                      static_cast<long long>(numLines), appId_);
    else
        std::snprintf(text, sizeof text, "%u %llu %d %lld %lld %lld ", realmId_,
                      static_cast<unsigned long long>(jobId_), static_cast<int>(kind_),
                      static_cast<long long>(seqNo), static_cast<long long>(lineNumber),
                      static_cast<long long>(numLines));
    return text;
}

int WDRetrieveResults::getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines) {
    if (!hasHost_) {
        debug(3, "getPage: no host name\n");
        return 1;
    }
    constexpr uint32_t key = COxRemoteCommand::kClassKey;
    CNMessageBase message(kSessionSubsystem, kExecuteRemoteCommand, key, "oxsExecuteRemoteCommand");
    message.setInt(4, 10, key, 2090299, 0);
    message.setInt(5, 11, key, 9836683, 0);
    message.setInt(1, 1, key, 7634917, 0);
    message.setString(COxRemoteCommand::kRequestField, COxRemoteCommand::kRequestTag, key,
                      COxRemoteCommand::kRequestKey, requestText(seqNo, lineNumber, numLines));
    message.setString(COxRemoteCommand::kProgramField, COxRemoteCommand::kProgramTag, key,
                      COxRemoteCommand::kProgramKey, kProgram);
    std::string local;
    if (OXS_PLATFORMTYPE & 1) {
        OXPI_PlatformBase warden(OXPlatformWardenServer);
        warden.getWardenServerClientName(local);
        local.resize(std::min(local.size(), kMaxWardenClient));
    } else {
        local = OXPlatformInfo::getPhysicalMachine();
        local.resize(std::min(local.size(), kMaxMachine));
    }
    COxRemoteCommand network;
    if (network.Attach_RemoteCommand(host_.c_str(), message, nullptr, local.c_str(),
                                     kAttachSeconds) != 0) {
        debug(3, "OXSession to %s failed with code %s\n", host_.c_str(), network.getErrorText());
        return 1;
    }
    return 0;
}
