// A process stopped between the steps of create, update or discard: the next
// process must find a consistent root, where open (0) answers the newest
// complete index with all its files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/CrashPoint.h"
#include "platform/Env.h"

using namespace createopen;

namespace {

struct CrashPointScenarioTest : CacheDirFixture {
    void completeIndex(unsigned long timeStamp) {
        makeDir(timeStamp, kClosed);
        testsupport::writeFile(dirPath(timeStamp) + "/table", "rows");
    }
    // The process is stopped the first time it passes the point.
    int crashAt(const std::string& point, const std::function<void()>& action) {
        return testsupport::runInChild([&] {
            ::setenv("IDXCACHE_CRASH_AT", (point + ":1").c_str(), 1);
            platform::KeyStore::set("Depot", "sSPACESAVER", "y"); // update renames
            CacheDirProbe::rearmFirstConstruction();
            platform::VirtualClock clock(kNow);
            action();
            return 0;
        });
    }
};

TEST_F(CrashPointScenarioTest, TheNextProcessFindsTheNewestCompleteIndex) {
    auto create = [] {
        CacheDirProbe dir(0);
        dir.initialize("client1");
        dir.create(0);
    };
    auto update = [](bool copy) {
        return [copy] {
            CacheDirProbe dir(0);
            dir.initialize("client1");
            dir.copyUponUpdate(copy);
            dir.update(false, 0, false);
        };
    };
    auto discard200 = [] {
        CacheDirProbe dir(200);
        dir.initialize("client1");
        dir.reopenStateFile();
        dir.discard(true);
    };
    struct Case {
        const char* point;
        std::function<void()> action;
        unsigned long expected; // what open (0) finds afterwards
    };
    const Case cases[] = {
        {"create.made", create, 100},
        {"create.stated", create, 100},
        {"update.renamed", update(false), kNow},
        {"update.copying", update(true), 100},
        {"discard.truncated", discard200, 100},
        {"discard.emptied", discard200, 100},
        {"discard.unlinked", discard200, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        deleteDir(root.c_str());
        completeIndex(100);
        if (std::string(c.point).rfind("discard", 0) == 0)
            completeIndex(200);
        ASSERT_EQ(crashAt(c.point, c.action), platform::IDXCACHE_CRASH_EXIT);
        EXPECT_EQ(testsupport::runInChild([&] {
                      platform::VirtualClock clock(kNow + 60);
                      CacheDirProbe dir(0);
                      dir.initialize("client1");
                      const char* path = dir.open(0, false);
                      CHILD_CHECK(path && std::string(path) == dirPath(c.expected));
                      CHILD_CHECK(testsupport::readFile(std::string(path) + "/table") == "rows");
                      return dir.close(false);
                  }),
                  0);
    }
}

} // namespace
