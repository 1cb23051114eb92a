// The removal of failed directories that create runs first: it is judged
// against the last complete index (on the share, the share's own), and it
// never waits for, nor takes, a directory another job is writing.
#include <gtest/gtest.h>

#include <string>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"

using namespace createopen;
using testsupport::exists;
using testsupport::ProcessSignal;

namespace {

const std::string kDeadWriter = "3\n1699990000    \n";

using FailedDirsScenarioTest = CacheDirFixture;

TEST_F(FailedDirsScenarioTest, CreateOnAnEmptyLocalCacheKeepsTheSharesIndexes) {
    const std::string remote = home.sub("remote", true);
    const std::string local = home.sub("local", true);
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", remote);
    platform::KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    const std::string share = remote + "/OX_Index/2/17/";
    for (const char* t : {"100", "200"}) {
        mkdirs(share + t);
        testsupport::writeFile(share + t + "/State", kClosed);
    }
    mkdirs(share + "300"); // a job on the share failed after 200
    testsupport::writeFile(share + "300/State", kDeadWriter);
    EXPECT_EQ(testsupport::runInChild([&] {
                  platform::VirtualClock clock(kNow);
                  CacheDirProbe dir(0);
                  dir.setUseIntermediateCache(true);
                  dir.initialize("client1");
                  const char* path = dir.create(0);
                  CHILD_CHECK(path && std::string(path) ==
                                          local + "/OX_Index/2/17/" + std::to_string(kNow));
                  return dir.close(false);
              }),
              0);
    EXPECT_TRUE(exists(share + "100/State"));
    EXPECT_TRUE(exists(share + "200/State"));
    EXPECT_FALSE(exists(share + "300"));
}

TEST_F(FailedDirsScenarioTest, TwoJobsCreatingAtOnceTakeOnlyWhatAJobLeftBehind) {
    makeDir(100, kClosed);
    makeDir(200, kDeadWriter); // its job died after the last complete index
    ProcessSignal created, release;
    pid_t first = testsupport::forkChild([&] {
        platform::VirtualClock clock(kNow);
        CacheDirProbe dir(0);
        dir.initialize("client1");
        CHILD_CHECK(dir.create(0));
        created.post();
        release.wait();
        return dir.close(false);
    });
    ASSERT_TRUE(created.wait());
    EXPECT_EQ(testsupport::runInChild([&] {
                  platform::VirtualClock clock(kNow + 10);
                  CacheDirProbe dir(0);
                  dir.initialize("client1");
                  const char* path = dir.create(0);
                  CHILD_CHECK(path && std::string(path) == dirPath(kNow + 10));
                  CHILD_CHECK(clock.waits().empty()); // the other job's directory is only probed
                  return dir.close(false);
              }),
              0);
    EXPECT_FALSE(exists(dirPath(200)));
    EXPECT_EQ(testsupport::readFile(statePath(kNow)), "3\n" + std::to_string(kNow) + "    \n");
    release.post();
    EXPECT_EQ(testsupport::waitChild(first), 0);
    EXPECT_EQ(testsupport::readFile(statePath(kNow)), "0\n" + std::to_string(kNow) + "    \n");
}

} // namespace
