// The reserve file shared by the processes of a cache root: one line
// "[host:]pid blocks [time]" per process, read and rewritten under its lock
// by every reservation. Whatever the file held, the rewrite must leave this
// process's own line and release it again.
#include <unistd.h>

#include <string>

#include "FuzzSupport.h"
#include "cachefs/TestCacheFs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool configured = [] {
        platform::KeyStore::set("Depot", "sDISABLERESERVE", "NO");
        // Every reservation reads and rewrites the file (no per-process buffer).
        CacheFsBase::setMultiThreaded(true);
        return true;
    }();
    (void)configured;
    fuzzsupport::dropLogs();
    static const std::string file = fuzzsupport::path("idx/OX_Index/reserveFile");
    fuzzsupport::writeFile(file, data, size);
    TestCacheFs fs;
    fs.centralTime = 1700000000;
    fs.initialize("client1");
    fuzzsupport::check(fs.isInitialized(), "cache filesystem initialised");
    const std::string own = "42:" + std::to_string(::getpid()) + " ";
    try {
        // 1: granted, with this process's line written; 0: no room.
        if (fs.reserveOnDisk(10, 2, "17", 1700000000, false) == 1) {
            const std::string after = "\n" + fuzzsupport::readFile(file);
            fuzzsupport::check(after.find("\n" + own) != std::string::npos,
                               "a granted reservation leaves this process's line");
        }
        fs.reserveOnDisk(CacheFsBase::kGiveBackAll, 2, "17", 1700000000, true);
    } catch (const char*) {
        // A reserve file that cannot be read or rewritten fails the reservation.
    }
    return 0;
}
