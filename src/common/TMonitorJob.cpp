#include "common/TMonitorJob.h"

#include <climits>
#include <cstring>

#include "platform/COxNetworkServer.h"
#include "platform/Env.h"
#include "platform/OXJobCtrlClient.h"

namespace {
constexpr long long kNever = LLONG_MIN;
constexpr long long kNsPerSecond = 1000000000LL;
// The XML heartbeat: an Indexing::ProcessFilesResp whose field (3, 6) is 1.
constexpr int kXmlSubsystem = 48, kXmlMessage = 220;
constexpr int kXmlField = 3, kXmlTag = 6;
} // namespace

TMonitorJob::TMonitorJob(TMonitorJobInput* input)
    : input_(input), lastHeartbeat_(kNever), lastQuitCheck_(kNever) {
    log_.setDebugPrefix("TMonitorJob:");
    if (input_ == nullptr) {
        log_.debug(1, "Error TMonitorJobInput is NULL");
        return;
    }
    if (input_->jobId != 0)
        log_.setJobId(input_->jobId);
    unsigned long value = 0;
    if (input_->heartBeatPeriod == 0) {
        if (log_.getRegistryNumber("heartBeatPeriod", &value, "Depot") == 0 && value != 0) {
            input_->heartBeatPeriod = value;
            log_.debug(1,
                       "Registry key Depot\\heartBeatPeriod is present, heartbeat period set "
                       "to %llu",
                       static_cast<unsigned long long>(value));
        } else {
            log_.debug(1, "Registry key Depot\\heartBeatPeriod is not present, defaulting to 5 "
                          "minutes");
            input_->heartBeatPeriod = kDefaultHeartbeatPeriod;
        }
    }
    if (input_->quitCheckPeriod == 0) {
        value = 0;
        if (log_.getRegistryNumber("JMQuitCheckPeriod", &value, "Depot") == 0 && value != 0) {
            input_->quitCheckPeriod = value;
            log_.debug(1,
                       "Registry key Depot\\JMQuitCheckPeriod is present, job quit check period "
                       "set to %llu",
                       static_cast<unsigned long long>(value));
        } else {
            log_.debug(1, "Registry key Depot\\JMQuitCheckPeriod is not present, defaulting to 1 "
                          "minute");
            input_->quitCheckPeriod = kDefaultQuitCheckPeriod;
        }
    }
}

bool TMonitorJob::due(long long lastNs, long long nowNs, uint64_t period) {
    if (lastNs == kNever)
        return true;
    // The monotonic clock never goes back, so the difference is never negative.
    return static_cast<uint64_t>((nowNs - lastNs) / kNsPerSecond) > period;
}

bool TMonitorJob::shouldQuit() {
    if (quit_)
        return true;
    if (input_ == nullptr) {
        log_.debug(1, "TMonitorJob is not initialized, input param is NULL");
        return quit_ = true;
    }
    if (input_->interruptFlag && input_->interruptFlag->load() != 0) {
        log_.debug(1, "Job interrupt flag is set");
        return quit_ = true;
    }
    long long now = platform::monotonicNs();
    if (due(lastQuitCheck_, now, input_->quitCheckPeriod)) {
        lastQuitCheck_ = now;
        if (input_->jobControl && input_->jobControl->checkQuitFlag()) {
            log_.debug(1, "Got quit flag from JobManager");
            return quit_ = true;
        }
    }
    if (due(lastHeartbeat_, now, input_->heartBeatPeriod)) {
        lastHeartbeat_ = now;
        if (input_->heartbeatType != 0 && input_->sessionHandle != 0 && input_->networkServer)
            heartbeat();
    }
    return quit_;
}

void TMonitorJob::heartbeat() {
    COxNetworkServer& server = *input_->networkServer;
    COxSession* session = server.AcquireSession(input_->sessionHandle);
    if (session == nullptr) {
        log_.debug(1,
                   "Unable to acquire session object for handle: %lld with error: %s while trying "
                   "to send heartbeat message",
                   static_cast<long long>(input_->sessionHandle), server.getErrorText());
        quit_ = true;
        return;
    }
    int rc = 0;
    if (input_->heartbeatType == 1) {
        log_.debug(1, "Sending XDR heartbeat to keep connection alive");
        FSICreateIndexStatus status;
        std::memset(&status, 0, sizeof status);
        std::strcpy(status.status, "h");
        oxsDatabuf_v2 body{&status, sizeof status};
        rc = session->SendXDRMessage(kXdrHeartbeatType, body, kHeartbeatTimeout);
    } else if (input_->heartbeatType == 2) {
        log_.debug(1, "Sending XML heartbeat to keep connection alive");
        CNMessageBase message(kXmlSubsystem, kXmlMessage);
        message.setInt(kXmlField, kXmlTag, 0, 0, 1);
        rc = session->SendXMLMessage(message, kHeartbeatTimeout);
    }
    if (rc != 0) {
        log_.debug(1, "Failed to send heartBeat message with error [%s]", server.getErrorText());
        quit_ = true;
    }
    if (server.ReleaseSession(session) != 0) {
        log_.debug(1, "Failed to release session handle %lld with error [%s]",
                   static_cast<long long>(input_->sessionHandle), server.getErrorText());
        quit_ = true;
    }
}
