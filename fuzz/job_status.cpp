// A job status file of the running-jobs folder (the cache directory's local
// path, the last action, the previous backup time) and the local path it names.
#include <string>

#include "FuzzSupport.h"
#include "cachedir/IndexCacheDirBase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = fuzzsupport::path("idx/OX_Index");
    static const std::string file = IndexCacheDirBase::getJobStatusFilePath(root, 7);
    fuzzsupport::dropLogs();
    fuzzsupport::writeFile(file, data, size);
    std::string localPath;
    EJobStatusFileLastAction action = JobStatusNA;
    unsigned long prevBackupTime = 0;
    if (IndexCacheDirBase::readJobStatusFile(root, 7, localPath, action, prevBackupTime, nullptr) !=
        0)
        return 0;
    unsigned long realm = 0, timeStamp = 0;
    std::string app;
    if (IndexCacheDirBase::parseJobStatusLocalPath(localPath, realm, app, timeStamp) == 0)
        fuzzsupport::check(!app.empty() && app.find('/') == std::string::npos &&
                               app.find('\\') == std::string::npos && app != ".." && app != ".",
                           "a parsed local path names one folder below the realm");
    return 0;
}
