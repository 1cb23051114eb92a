// The concrete cache directory of the library: a job's results directory in
// the job-results cache, which holds one cache filesystem with its clean-up.
#pragma once

#include <string>
#include <vector>

#include "cachedir/IndexCacheDirBase.h"
#include "cachefs/JobResultsCacheFs.h"

class JobResultsCacheDir : public JobResultsCacheFs, public IndexCacheDirBase {
public:
    JobResultsCacheDir(OXAppType appType, unsigned long realmNumber, unsigned long appNumber,
                       long long jobId, BackupType backupType, unsigned long timeStamp,
                       TCacheTypeEnum cacheType, bool flag);
    ~JobResultsCacheDir() override = default;

    void initialize(const char* name);
    void initialize(const char* name, bool flag) override;
    void initialize(const char* name, bool flag, unsigned long appId) override;

    bool isIndexInCache() override;
    bool areComponentsInCache(const char* components) override;
    bool isComponentBasedIndex() override;
    std::string getCacheDirComp(std::string component) override;
    bool checkIntegrity(Enum_IC_IntegrityCheck check) override;
    int backup() override;
    void restore(bool update, bool restoreWhenBlocked) override;
    unsigned long backSearch(unsigned long limit, bool flag) override;
    using IndexCacheDirBase::backSearch;
    bool playBackSelectedItems(std::vector<std::string>& items) override;
    long long getJobId() override { return IndexCacheDirBase::getJobId(); }
};
