// The results directory of one job: a cache directory of the job-results
// cache, named after the job id's low 32 bits, with space reservation for
// result lines and the age clean-up of the whole job-results cache.
#pragma once

#include <memory>

#include "common/TDebuggable.h"

class JobResultsCacheDir;

class JobResultsDir : public TDebuggableAnyLog {
public:
    // Module id of the clean-up event log.
    static constexpr unsigned int kCleanupModuleId = 1482150626;
    // The application type whose results keep their own application id.
    static constexpr unsigned int kOwnAppIdType = 137;

    JobResultsDir();
    ~JobResultsDir() override;
    JobResultsDir(const JobResultsDir&) = delete;
    JobResultsDir& operator=(const JobResultsDir&) = delete;

    // 0 success, 1 failure (as every operation below unless stated).
    int initialize(unsigned int realmId, long long jobId, bool exclusive, const char* clientName);
    int initialize(unsigned int realmId, long long jobId, bool exclusive, const char* clientName,
                   unsigned int appId);
    int open(bool readOnly);
    int close();
    int reserve(unsigned long long bytes);
    int release(unsigned long long bytes);
    // The clean-up's result (negative on failure), -1 when not initialised.
    int cleanUp();
    void setupCleanupLogging(bool twoPlaces);
    EvEvent* getCleanupEvent() const { return cleanupEvent_.get(); }
    // Takes ownership; logs the old event was attached to follow the new one.
    void setCleanupEvent(EvEvent* event);
    int getLastError();
    void setNumDays(unsigned int days);
    unsigned int getNumDays() const;
    int setDiskFree(unsigned int percent);
    unsigned int getDiskFree() const;
    // The path as the cache directory object holds it now: its lifecycle
    // operations may give it a new buffer.
    const char* getCacheDir() const;
    const char* getClientName() const;
    bool isOpened() const { return opened_; }
    JobResultsCacheDir* getCacheDirObject() const { return cacheDirObject_.get(); }

private:
    const char* clientNameOrMarker() const;

    std::unique_ptr<JobResultsCacheDir> cacheDirObject_;
    std::unique_ptr<EvEvent> cleanupEvent_;
    bool opened_ = false;
};
