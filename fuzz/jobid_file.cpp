// The JobId file of a cache directory ("job:phase:attempt:counter host", or
// the old "job host") and the check of it against the job that opens the directory.
#include <string>

#include "FuzzSupport.h"
#include "cachedir/TestIndexCacheDir.h"
#include "platform/PlatformHome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = fuzzsupport::path("idx/OX_Index/2/17/1700000000");
    static const bool made = platform::makeDirs(dir);
    (void)made;
    fuzzsupport::dropLogs();
    fuzzsupport::writeFile(dir + "/JobId", data, size);
    TestIndexCacheDir cacheDir(1, 2, "17", 5, BackupTypeFull, 1700000000);
    cacheDir.initialize("client1");
    cacheDir.setJobIndexWriteCounter(3);
    long long job = 0;
    std::string host;
    unsigned int phase = 0, attempt = 0, counter = 0;
    if (cacheDir.readJobIdFile(&job, &host, &phase, &attempt, &counter) != 1)
        fuzzsupport::check(job == 0 && host.empty() && phase == 0 && attempt == 0 && counter == 0,
                           "a refused file leaves every output 0");
    std::string reason;
    cacheDir.isJobIdFileValid(&reason);
    fuzzsupport::check(cacheDir.getJobId() == 5, "reading the file leaves the object's job");
    return 0;
}
