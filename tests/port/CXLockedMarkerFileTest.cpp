// Locked marker files between real processes: held, busy, stale and left
// alone when only looked at.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>

#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "port/CXLockedMarkerFile.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::ProcessSignal;
using testsupport::ScratchHome;

namespace {

// A virtual clock that runs an action at the first sleep, so that another
// process can act exactly while the code under test waits.
class HookedClock : public platform::VirtualClock {
public:
    explicit HookedClock(std::function<void()> hook) : hook_(std::move(hook)) {}
    void sleepMs(unsigned long ms) override {
        if (hook_) {
            std::function<void()> h = std::move(hook_);
            hook_ = nullptr;
            h();
        }
        VirtualClock::sleepMs(ms);
    }

private:
    std::function<void()> hook_;
};

// A child that holds the marker until told to let go (then removes it).
pid_t holdInChild(const std::string& folder, ProcessSignal& held, ProcessSignal& release,
                  const char* content = "holder") {
    return testsupport::forkChild([&] {
        CXLockedMarkerFile m(folder, 0);
        if (m.openLocked(content) != 0)
            return 1;
        held.post();
        release.wait();
        return m.unLockAndRemove() == 0 ? 0 : 2;
    });
}

int isLockedInChild(const std::string& folder) {
    return testsupport::runInChild([&] {
        CXLockedMarkerFile probe(folder, 0);
        return probe.isLocked();
    });
}

} // namespace

TEST(CXLockedMarkerFile, WithoutMarkerIsFreeAtOnce) {
    ScratchHome home;
    platform::VirtualClock clock;
    for (const std::string& folder : {home.sub("empty", true), home.sub("missing")}) {
        CXLockedMarkerFile m(folder, 5);
        EXPECT_EQ(m.isLocked(), 0) << folder;
    }
    EXPECT_TRUE(clock.waits().empty());
}

TEST(CXLockedMarkerFile, EmptyFolderRefusesToWork) {
    platform::TestSink sink;
    {
        CXLockedMarkerFile m(std::string(), 5);
        EXPECT_EQ(m.openLocked("x"), -42);
        EXPECT_EQ(m.isLocked(), -42);
        EXPECT_EQ(m.lock(), -1);
        EXPECT_EQ(m.unLock(), -10);
        CXLockedMarkerFile n(static_cast<const char*>(nullptr), 5);
        EXPECT_EQ(n.openLocked(nullptr), -42);
    }
    std::vector<std::string> texts;
    for (const platform::CapturedLine& l : sink.lines())
        texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "CXLockedMarkerFile::CXLockedMarkerFile: ERROR: folder name is empty!",
                         "CXLockedMarkerFile::openLocked: Failed to open file because folder "
                         "name is empty!",
                         "CXLockedMarkerFile::CXLockedMarkerFile: ERROR: folder name is empty!",
                         "CXLockedMarkerFile::openLocked: Failed to open file because folder "
                         "name is empty!",
                     }));
}

TEST(CXLockedMarkerFile, OpenLockedCreatesFolderWritesContentAndDestructionRemovesIt) {
    ScratchHome home;
    const std::string folder = home.sub("x/y/cache");
    {
        CXLockedMarkerFile m(folder, 0);
        ASSERT_EQ(m.openLocked("abc"), 0);
        EXPECT_EQ(m.getMarkerPath(), folder + "/restoreInProgress");
        EXPECT_EQ(testsupport::readFile(m.getMarkerPath()), std::string("abc\0", 4));
        struct stat st;
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(m.isLocked(), 1) << "the holder itself";
        EXPECT_EQ(m.openLocked("abc"), -1) << "already held";
        EXPECT_EQ(m.lock(), -1) << "already held";
    }
    EXPECT_FALSE(exists(folder + "/restoreInProgress"));
    EXPECT_FALSE(exists(folder)) << "the emptied folder goes too";
    EXPECT_TRUE(exists(home.sub("x/y")));
}

TEST(CXLockedMarkerFile, ContentOverwritesTheStartWithoutTruncating) {
    ScratchHome home;
    const std::string folder = home.sub("cache", true);
    testsupport::writeFile(folder + "/download.lck", "hello world");
    CXLockedMarkerFile m(folder, "download.lck", 0);
    ASSERT_EQ(m.openLocked("abc"), 0);
    EXPECT_EQ(testsupport::readFile(folder + "/download.lck"), std::string("abc\0o world", 11));
    EXPECT_EQ(m.unLockAndRemove(), 0);
    EXPECT_FALSE(exists(folder + "/download.lck"));
}

TEST(CXLockedMarkerFile, NeverLockedUnlockIsMinusTenAndDestructionLogsNothing) {
    ScratchHome home;
    platform::TestSink sink;
    {
        CXLockedMarkerFile m(home.sub("cache", true), 0);
        EXPECT_EQ(m.unLock(), -10);
        EXPECT_EQ(m.lock(), -1) << "not open";
    }
    EXPECT_TRUE(sink.lines().empty());
}

TEST(CXLockedMarkerFile, MarkerOfALiveHolderIsBusyAndSurvivesItsObservers) {
    ScratchHome home;
    const std::string folder = home.sub("cache", true);
    const std::string marker = folder + "/restoreInProgress";
    ProcessSignal held, release;
    pid_t child = holdInChild(folder, held, release);
    ASSERT_TRUE(held.wait());
    {
        platform::VirtualClock clock;
        {
            CXLockedMarkerFile observer(folder, 0);
            EXPECT_EQ(observer.isLocked(), 1);
        }
        EXPECT_TRUE(exists(marker)) << "an observer must not remove the holder's marker";
        {
            CXLockedMarkerFile observer(folder, 0);
            EXPECT_EQ(observer.isLocked(), 1);
        }
        EXPECT_TRUE(clock.waits().empty());

        {
            CXLockedMarkerFile waiter(folder, 3);
            EXPECT_EQ(waiter.openLocked("me"), 1);
            EXPECT_EQ(clock.waits(), (std::vector<unsigned long>{1000, 1000, 1000}));
            clock.clearWaits();
            EXPECT_EQ(waiter.lock(), 1) << "retry after busy";
            clock.clearWaits();
        }
        CXLockedMarkerFile impatient(folder, 0);
        EXPECT_EQ(impatient.openLocked("me"), 1);
        EXPECT_TRUE(clock.waits().empty());
    }
    EXPECT_TRUE(exists(marker));
    EXPECT_EQ(testsupport::readFile(marker), std::string("holder\0", 7));
    EXPECT_EQ(isLockedInChild(folder), 1);

    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
    EXPECT_FALSE(exists(marker));
    CXLockedMarkerFile after(folder, 0);
    EXPECT_EQ(after.isLocked(), 0);
}

TEST(CXLockedMarkerFile, MarkerOfAKilledProcessIsStaleAndRemoved) {
    ScratchHome home;
    const std::string folder = home.sub("cache", true);
    ProcessSignal held, never;
    pid_t child = holdInChild(folder, held, never);
    ASSERT_TRUE(held.wait());
    ::kill(child, SIGKILL);
    ASSERT_EQ(testsupport::waitChild(child), 128 + SIGKILL);
    ASSERT_TRUE(exists(folder + "/restoreInProgress"));

    platform::VirtualClock clock;
    CXLockedMarkerFile m(folder, 0);
    EXPECT_EQ(m.isLocked(), 0);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{5000});
    EXPECT_FALSE(exists(folder + "/restoreInProgress"));
    clock.clearWaits();
    EXPECT_EQ(m.isLocked(), 0);
    EXPECT_TRUE(clock.waits().empty());
}

TEST(CXLockedMarkerFile, MarkerTakenDuringThePauseIsLeftAlone) {
    ScratchHome home;
    const std::string folder = home.sub("cache", true);
    testsupport::writeFile(folder + "/restoreInProgress", "");
    ProcessSignal go, held, release;
    pid_t child = testsupport::forkChild([&] {
        go.wait();
        CXLockedMarkerFile m(folder, 0);
        if (m.openLocked(nullptr) != 0)
            return 1;
        held.post();
        release.wait();
        return 0;
    });
    HookedClock clock([&] {
        go.post();
        held.wait();
    });
    CXLockedMarkerFile m(folder, 0);
    EXPECT_EQ(m.isLocked(), 1) << "a marker taken during the pause is held";
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{5000});
    EXPECT_TRUE(exists(folder + "/restoreInProgress"));
    EXPECT_EQ(isLockedInChild(folder), 1);
    release.post();
    EXPECT_EQ(testsupport::waitChild(child), 0);
}

// The holder removes its marker while this object waits for the lock; the
// lock it then gets is on a file nobody can see, so it takes the marker the
// path names anew instead of reporting a marker that does not exist.
TEST(CXLockedMarkerFile, WaiterFollowsAMarkerItsHolderRemoved) {
    ScratchHome home;
    const std::string folder = home.sub("cache", true);
    const std::string marker = folder + "/restoreInProgress";
    ProcessSignal held, release;
    pid_t child = holdInChild(folder, held, release);
    ASSERT_TRUE(held.wait());
    HookedClock clock([&] {
        release.post();
        testsupport::waitChild(child);
    });
    CXLockedMarkerFile m(folder, 5);
    ASSERT_EQ(m.openLocked("next"), 0);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>{1000});
    EXPECT_EQ(testsupport::readFile(marker), std::string("next\0", 5));
    EXPECT_EQ(isLockedInChild(folder), 1);
    EXPECT_EQ(m.unLockAndRemove(), 0);
    EXPECT_FALSE(exists(marker));
}
