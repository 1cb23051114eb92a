#include "common/JobServices.h"

#include <memory>
#include <new>

#include "common/HostServices.h"
#include "common/TDebuggable.h"
#include "platform/OXPI.h"

OXJobClient* getJobClientObject(long long jobId, int platformType) {
    std::string warden = getWarden();
    if (warden.empty())
        return nullptr;
    TDebuggable log;
    log.setDebugPrefix("getJobClientObject");
    std::unique_ptr<OXJobClient> client(new (std::nothrow) OXJobClient);
    if (!client) {
        log.debug(1, "Not enough memory for a OXJobClient object");
        return nullptr;
    }
    if (client->init(warden, jobId, platformType) != 1) {
        log.debug(1, "job object init failed (Warden=%s, jobId=%lld)\n", warden.c_str(), jobId);
        return nullptr;
    }
    return client.release();
}

bool destroyJobClientObject(OXJobClient** client) {
    if (!client || !*client)
        return false;
    delete *client;
    *client = nullptr;
    return true;
}

bool setPendingCause(OXJobClient* client, unsigned int messageId, int messageType) {
    return client && client->setPendingCause(messageId, messageType) == 1;
}

bool NoParamSetPendingCause(long long jobId, int platformType, unsigned int messageId) {
    OXJobClient* client = getJobClientObject(jobId, platformType);
    bool set = setPendingCause(client, messageId,
                               platformType == OXPlatformDepot ? kDepotPendingMessageType
                                                               : kOtherPendingMessageType);
    destroyJobClientObject(&client);
    return set;
}
