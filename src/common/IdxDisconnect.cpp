#include "common/IdxDisconnect.h"

#include <cstring>

#include "common/TDebuggable.h"
#include "platform/COxNetwork.h"

namespace {
constexpr size_t kReceiveBuffer = 2400;
// Discarded messages logged one by one; beyond them only the count.
constexpr int kLoggedDiscards = 10;
} // namespace

void idxDisconnect(COxNetwork* network, bool waitForPeer, bool disconnectEventLog) {
    if (!network)
        return;
    TDebuggable log;
    log.setDebugPrefix("::idxDisconnect");
    char buffer[kReceiveBuffer];
    int discarded = 0;
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        int rc =
            network->receive(buffer, sizeof buffer, waitForPeer ? kDrainWaitForPeer : kDrainNoWait);
        if (rc != 0)
            break; // a time-out or an error: nothing more will come
        unsigned long type = network->getMessageType(buffer);
        if (type == kMsgDisconnectRequest) {
            network->ReplyDisconnect(kDisconnectTimeout);
            return;
        }
        if (type == kMsgConnectionReset) {
            network->reset();
            return;
        }
        network->freeMessage(buffer);
        if (++discarded <= kLoggedDiscards)
            log.debug(3, "Discarded message: msgType = %lx", type);
    }
    if (discarded > kLoggedDiscards)
        log.debug(2, "Discarded %d messages", discarded);
    if (!waitForPeer && network->Disconnect(kDisconnectTimeout) != 0)
        log.debug(1, "Disconnect failed. Msg %s", network->getErrorText());
    if (disconnectEventLog)
        network->disconnectEventLog();
}
