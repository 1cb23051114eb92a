// Create, open and update against other processes: live and dead writers,
// readers that keep an index from being renamed, interrupted restores and a
// copy that cannot be cleared away.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/Env.h"
#include "port/CXLockedMarkerFile.h"

using namespace createopen;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kWriting = "3\n1700000000    \n";
const std::string kReading = "2\n1700000000    \n";

// Another process that sets something up, says so through hold () and then
// keeps it until it is released or killed.
class Holder {
public:
    explicit Holder(const std::function<int(const std::function<void()>& hold)>& body) {
        pid_ = testsupport::forkChild([&] {
            return body([this] {
                ready_.post();
                release_.wait(60000);
            });
        });
        EXPECT_TRUE(ready_.wait());
    }
    ~Holder() { finish(); }
    int finish() {
        if (pid_ > 0) {
            release_.post();
            rc_ = testsupport::waitChild(pid_);
            pid_ = -1;
        }
        return rc_;
    }
    int kill() {
        ::kill(pid_, SIGKILL);
        rc_ = testsupport::waitChild(pid_);
        pid_ = -1;
        return rc_;
    }

private:
    testsupport::ProcessSignal ready_, release_;
    pid_t pid_ = -1;
    int rc_ = -1;
};

struct CreateOpenUpdateProcessTest : CacheDirFixture {
    std::map<std::string, std::string> previousIndex(unsigned long timeStamp) {
        makeDir(timeStamp, kClosed);
        writeFile(dirPath(timeStamp) + "/table", "rows");
        writeFile(dirPath(timeStamp) + "/index.dat", "0123456789");
        return snapshot(dirPath(timeStamp));
    }
    // An update at kNow in a fresh process with the space saver on: the new
    // directory must hold `expected` (State aside) and be write-locked.
    int updateInChild(const std::map<std::string, std::string>& expected, bool restore = false) {
        return inFreshProcess({{"sSPACESAVER", "y"}}, [&] {
            platform::VirtualClock clock(kNow);
            RestoringDir dir(0);
            dir.initialize("client1");
            dir.restoredState = kClosed;
            const char* path = dir.update(false, 0, restore);
            CHILD_CHECK(path && std::string(path) == dirPath(kNow));
            CHILD_CHECK(without(snapshot(path), "State") == without(expected, "State"));
            CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
            CHILD_CHECK(dir.alreadyLocked());
            CHILD_CHECK(dir.calls.size() == (restore ? 1u : 0u));
            CHILD_CHECK(dir.close(false) == 0);
            return 0;
        });
    }
};

TEST_F(CreateOpenUpdateProcessTest, OpenPassesOverALiveWriterAndDiscardsTheDirectoryOfADeadOne) {
    makeDir(100, kClosed);
    makeDir(200, kClosed);
    Holder writer([this](const std::function<void()>& hold) {
        CacheDirProbe dir(0);
        dir.initialize("client1");
        if (!dir.create(300))
            return 2;
        writeFile(dirPath(300) + "/table", "half written");
        hold();
        return 0;
    });
    platform::VirtualClock clock(kNow);
    for (bool writerAlive : {true, false}) {
        if (!writerAlive) {
            EXPECT_EQ(writer.kill(), 128 + SIGKILL);
        }
        auto dir = make(0);
        const char* path = dir->open(0, false);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), dirPath(200));
        EXPECT_EQ(readFile(statePath(200)), kReading);
        EXPECT_EQ(readFile(statePath(100)), kClosed);
        // A live writer's index is left; a dead one's is discarded.
        EXPECT_EQ(exists(dirPath(300) + "/table"), writerAlive);
        EXPECT_TRUE(clock.waits().empty()); // open never waits for a writer
        ASSERT_EQ(dir->close(false), 0);
    }
}

TEST_F(CreateOpenUpdateProcessTest, AnIndexBeingBrowsedIsCopiedAndOtherwiseRenamed) {
    const auto before = previousIndex(100);
    {
        Holder reader([this](const std::function<void()>& hold) {
            CacheDirProbe dir(0);
            dir.initialize("client1");
            if (!dir.open(100, true))
                return 2;
            hold();
            return dir.close(false) == 0 ? 0 : 3;
        });
        const auto browsed = snapshot(dirPath(100));
        ASSERT_EQ(browsed.at("State").substr(0, 2), "2\n");
        EXPECT_EQ(updateInChild(before), 0); // copied
        EXPECT_EQ(snapshot(dirPath(100)), browsed);
        deleteDir(dirPath(kNow).c_str());
        // Restoring when blocked: a new directory gets the index from media.
        EXPECT_EQ(updateInChild({{"restored", "from media"}}, true), 0);
        EXPECT_EQ(snapshot(dirPath(100)), browsed);
        deleteDir(dirPath(kNow).c_str());
        EXPECT_EQ(reader.finish(), 0);
    }
    // Nobody reads it any more: the previous directory becomes the new one.
    EXPECT_EQ(updateInChild(before), 0);
    EXPECT_FALSE(exists(dirPath(100)));
    EXPECT_EQ(readFile(statePath(kNow)), "0\n1700000000    \n");
}

TEST_F(CreateOpenUpdateProcessTest, AnInterruptedRestoreIsRestoredAgainOnce) {
    const auto before = previousIndex(200);
    Holder restorer([this](const std::function<void()>& hold) {
        CXLockedMarkerFile marker(dirPath(200), 0);
        if (marker.openLocked("restoring") != 0)
            return 2;
        hold();
        return 0;
    });
    platform::VirtualClock clock(kNow);
    for (const char* restored : {static_cast<const char*>(nullptr), kClosed}) {
        RestoringDir dir(0);
        dir.initialize("client1");
        dir.restoredState = restored;
        EXPECT_EQ(dir.open(200, true) != nullptr, restored != nullptr);
        EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
        if (restored) {
            EXPECT_EQ(readFile(statePath(200)), kReading);
            dir.close(false);
        }
    }
    RestoringDir dir(0);
    dir.initialize("client1");
    EXPECT_EQ(dir.update(false, 0, false), nullptr);
    EXPECT_EQ(dir.calls, (std::vector<std::pair<bool, bool>>{{true, false}}));
    EXPECT_FALSE(exists(dirPath(kNow)));
    EXPECT_EQ(snapshot(dirPath(200)).at("table"), before.at("table"));
}

} // namespace
