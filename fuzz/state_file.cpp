// The State file of a cache directory: the state digit on line 1 and the
// access time on line 2, as a reader in another process sees them.
#include <string>

#include "FuzzSupport.h"
#include "cachedir/TestIndexCacheDir.h"
#include "platform/Env.h"
#include "platform/PlatformHome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A missing or unreadable access time is retried after sleeps: virtual ones here.
    static platform::VirtualClock clock(1700000100);
    static const std::string dir = fuzzsupport::path("idx/OX_Index/2/17/1700000000");
    static const bool made = platform::makeDirs(dir);
    (void)made;
    fuzzsupport::dropLogs();
    fuzzsupport::writeFile(dir + "/State", data, size);
    TestIndexCacheDir cacheDir(1, 2, "17", 0, BackupTypeFull, 1700000000);
    cacheDir.initialize("client1");
    cacheDir.getCacheState();
    cacheDir.stateError();
    const unsigned long atime = cacheDir.getAtime();
    fuzzsupport::check(atime == 0 || atime >= 1700000000,
                       "an access time is never before the stamp");
    if (cacheDir.reopenStateFile() == 0) {
        try {
            cacheDir.getState(false);
        } catch (const char*) {
        }
    }
    return 0;
}
