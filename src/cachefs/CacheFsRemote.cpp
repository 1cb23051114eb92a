// Reservation and clean-up run by the local storage-node service on behalf
// of this process, over the platform's message router.
#include <cerrno>
#include <climits>
#include <memory>
#include <string>

#include "cachefs/CacheFsBase.h"
#include "cachefs/CacheOpsMessages.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/EvEvent.h"
#include "port/CXCritSect.h"
#include "port/CXProcessId.h"

using namespace cacheops;

namespace {

constexpr unsigned long kAnswerWaitMs = 60000;

const char* textOrNull(const char* text) {
    return text ? text : "NULL";
}

} // namespace

int CacheFsBase::remoteReserveOnDisk(long numBlocks, unsigned int realmNumber,
                                     const char* appNumber, unsigned int timeStamp,
                                     bool releaseAll) {
    debug(3,
          "CACHEFS_REMOTE before remote reserveOnDisk(numBlocks=%ld, realm=%u, appNumber=%s, "
          "timeStamp=%u, releaseAll=%s)",
          numBlocks, realmNumber, textOrNull(appNumber), timeStamp, bToS(releaseAll));
    Indexing::ReserveOnDiskRequest request;
    setInt(request, kReserveClassKey, kResNumBlocks, wire32(numBlocks));
    setInt(request, kReserveClassKey, kResRealm, wire32(realmNumber));
    if (!setString(request, kReserveClassKey, kResApp, appNumber ? appNumber : "")) {
        debug(1, "reserveOnDisk: application '%s' cannot be sent", appNumber);
        return -1;
    }
    setInt(request, kReserveClassKey, kResTimeStamp, wire32(timeStamp));
    setInt(request, kReserveClassKey, kResReleaseAll, releaseAll ? 1 : 0);
    return remoteOp(&request, "reserveOnDisk");
}

int CacheFsBase::remoteCleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvents,
                               bool useAccessTime, unsigned long specificRealm,
                               const char* specificApp, unsigned long dontRemoveTime,
                               unsigned int realmNumber, const char* appNumber,
                               unsigned int timeStamp) {
    debug(3,
          "CACHEFS_REMOTE before remote cleanUp(numBlocks=%lu, removeAllOld=%s, logEvents=%s, "
          "useAccessTime=%s, specificRealm=%lu, specificApp=%s, dontRemoveTime=%lu, realm=%u, "
          "appNumber=%s, timeStamp=%u)",
          numBlocks, bToS(removeAllOld), bToS(logEvents), bToS(useAccessTime), specificRealm,
          textOrNull(specificApp), dontRemoveTime, realmNumber, textOrNull(appNumber), timeStamp);
    Indexing::CleanupRequest request;
    setInt(request, kCleanupClassKey, kClnNumBlocks, wire32(static_cast<long long>(numBlocks)));
    setInt(request, kCleanupClassKey, kClnRemoveAllOld, removeAllOld ? 1 : 0);
    setInt(request, kCleanupClassKey, kClnLogEvents, logEvents ? 1 : 0);
    setInt(request, kCleanupClassKey, kClnUseAccessTime, useAccessTime ? 1 : 0);
    setInt(request, kCleanupClassKey, kClnSpecificRealm,
           wire32(static_cast<long long>(specificRealm)));
    bool textsOk =
        setString(request, kCleanupClassKey, kClnSpecificApp, specificApp ? specificApp : "");
    setInt(request, kCleanupClassKey, kClnDontRemoveTime,
           wire32(static_cast<long long>(dontRemoveTime)));
    setInt(request, kCleanupClassKey, kClnRealm, wire32(realmNumber));
    textsOk = setString(request, kCleanupClassKey, kClnApp, appNumber ? appNumber : "") && textsOk;
    setInt(request, kCleanupClassKey, kClnTimeStamp, wire32(timeStamp));
    if (!textsOk) {
        debug(1, "cleanUp: an application name cannot be sent");
        return -1;
    }
    return remoteOp(&request, "cleanUp");
}

int CacheFsBase::remoteOp(Indexing::CacheOpsBaseMsg* request, const char* name) {
    // One remote operation per process at a time; reservations wait for it.
    CXAutoCritSect guard(&cs(), "CacheFsBase::remoteOp", true);
    CXmlMsgRouter::initializeCommunicationRouter(nullptr);
    CXmlMsgRouter* router = CXmlMsgRouter::getCommunicationRouter();
    if (!router) {
        debug(1, "%s failed to get XmlRouter instance", name);
        return -1;
    }
    long long jobId = reportJobId();
    CXProcessId self;
    self.thisProcess();
    const char* pid = self.getIdString();
    if (!pid || !*pid) {
        debug(1, "no pid, errno %d", errno);
        return -1;
    }
    setInt(*request, kBaseClassKey, kZero, 0);
    setInt(*request, kBaseClassKey, kAppType, static_cast<long long>(getAppType()));
    setInt(*request, kBaseClassKey, kCacheType, static_cast<long long>(getCacheType()));
    setInt(*request, kBaseClassKey, kCatalogServer, catalogServer_ ? 1 : 0);
    setInt(*request, kBaseClassKey, kJobId, jobId);
    setString(*request, kBaseClassKey, kPid, pid);
    setInt(*request, kBaseClassKey, kMultiThreaded, TDebuggable::isMultiThreaded() ? 1 : 0);
    setInt(*request, kBaseClassKey, kMultiJob, TDebuggable::isMultiJob() ? 1 : 0);
    if (!setString(*request, kBaseClassKey, kClientName, clientName_) ||
        !setString(*request, kBaseClassKey, kProcessName, EvDebug::getApplicationName())) {
        debug(1, "%s: client or process name cannot be sent", name);
        return -1;
    }
    std::string sentPid;
    getString(*request, kBaseClassKey, kPid, sentPid);
    debug(3, "CACHEFS_DEBUG pidString='%s'", sentPid.c_str());

    if (router->send(request, 1) != 0) {
        debug(1, "%s failed to send start message", name);
        debug(2, "%s: %s", name, router->getLastErrorText().c_str());
        return -1;
    }
    debug(3, "%s request sent, waiting for response", name);
    CNMessageBase* received = nullptr;
    int status = -1;
    if (router->receive(&received, 1, kAnswerWaitMs, 0) != 0 || !received) {
        debug(1,
              "%s failed to receive response for the start message. DepotSvc not initialized "
              "yet?",
              name);
        debug(1, "%s failed to receive message", name);
        debug(2, "%s: %s", name, router->getLastErrorText().c_str());
    } else {
        std::unique_ptr<CNMessageBase> answer(received);
        unsigned subsystem = static_cast<unsigned>(answer->getSubsystem());
        uint32_t tagId = answer->getTagId();
        debug(3, "%s response received, tag '%s', subsystem %u=0x%X, id %u=0x%X", name,
              answer->getTagName(), subsystem, subsystem, tagId, tagId);
        if (tagId != kAckClassKey) {
            debug(1, "%s got unexpected message tag '%s', subsystem %u=0x%X, id %u=0x%X", name,
                  answer->getTagName(), subsystem, subsystem, tagId, tagId);
        } else {
            if (!dynamic_cast<CacheOpsAck*>(answer.get()))
                debug(3, "Using C-style cast as dynamic cast failed for CacheOpsAck");
            status = readAck(*answer, *request, name);
        }
    }
    debug(3, "%s returning %d", name, status);
    return status;
}

// The status an acknowledgement answers; its values are bounded before they
// reach this process's reservation state.
int CacheFsBase::readAck(const CNMessageBase& ack, const CNMessageBase& request, const char* name) {
    long long value = 0;
    int status = -1;
    if (!getInt(ack, kAckClassKey, kAckStatus, value)) {
        debug(3, "%s response received, status not set", name);
    } else if (value >= INT_MIN && value <= INT_MAX) {
        status = static_cast<int>(value);
    }
    if (std::string(name) == "reserveOnDisk") {
        long long sent = 0, buffer = -1, last = -1;
        getInt(request, kReserveClassKey, kResNumBlocks, sent);
        long long requested = signed32(sent) > 0 ? signed32(sent) : 0;
        // At most what this process held plus what it asked for: a release
        // only lowers it, a multi-mode reservation adds to the line.
        // The single-mode buffer kept for this object's reserve file.
        unsigned long long& reserveBuffer = reserveFileState_->buffer;
        unsigned long long held = blockSize_ ? reserveBuffer / blockSize_ : 0;
        if (lastReservedBlocks_ > 0 && static_cast<unsigned long long>(lastReservedBlocks_) > held)
            held = static_cast<unsigned long long>(lastReservedBlocks_);
        unsigned long long bufferBlocks = held + static_cast<unsigned long long>(requested);
        bool complete = ack.isFieldSet(kAckReserveBuffer.field) &&
                        ack.isFieldSet(kAckLastReserved.field) &&
                        getInt(ack, kAckClassKey, kAckReserveBuffer, buffer) &&
                        getInt(ack, kAckClassKey, kAckLastReserved, last) && buffer >= 0 &&
                        static_cast<unsigned long long>(buffer) <= bufferBlocks * blockSize_ &&
                        last >= 0 && last <= requested;
        if (complete) {
            reserveBuffer = static_cast<unsigned long long>(buffer);
            lastReservedBlocks_ = static_cast<long>(last);
        } else {
            debug(3, "%s response received, but incomplete", name);
            status = -1;
        }
    }
    long long code = 0;
    ack.getInt(kAckErrorCode.field, kAckErrorCode.tag, kAckClassKey, kAckErrorCode.key, code);
    if (code != 0) {
        std::string text;
        getString(ack, kAckClassKey, kAckErrorText, text);
        debug(1, "%s got error '%s', code %d, status %d", name, text.c_str(),
              static_cast<int>(code), status);
    } else {
        debug(3, "%s response received, status %d", name, status);
    }
    return status;
}
