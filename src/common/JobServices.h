// Reaching the job controller of the central server for one job.
#pragma once

#include "platform/OXJobClient.h"

// Message types of a pending cause: storage-node processes (platform type 2)
// send 150, every other process 300.
constexpr int kDepotPendingMessageType = 150;
constexpr int kOtherPendingMessageType = 300;

// A new job client for the job, initialised with the central server's name,
// or null. The caller owns it and releases it with destroyJobClientObject.
OXJobClient* getJobClientObject(long long jobId, int platformType);
// Deletes *client and clears it; false when there was none.
bool destroyJobClientObject(OXJobClient** client);

// Sets the job's pending cause to messageId, without parameters, through a
// job client of its own; true when it was set.
bool NoParamSetPendingCause(long long jobId, int platformType, unsigned int messageId);
// The same through a client the caller holds.
bool setPendingCause(OXJobClient* client, unsigned int messageId, int messageType);
