// Whether update copies or renames the previous index, and the lock it keeps
// on it while space for a copy is reserved. Each case runs in a process of its
// own, since these settings are process-wide.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/Env.h"
#include "platform/SimulatedVolume.h"

using namespace createopen;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr long long kMB = 1 << 20;
const std::string kWriting = "3\n1700000000    \n";

// Makes the next reservation of the process read its on/off switch again,
// as the first one of a new process does.
struct ReservationSwitch : TestIndexCacheDir {
    static void rearm() { reservationFlag = -1; }
};

struct UpdateCopyOrRenameTest : CacheDirFixture {
    // The previous index: State, two small tables and one file of the given size.
    std::map<std::string, std::string> previousIndex(unsigned long timeStamp, long long size,
                                                     const std::string& app = "17") {
        std::string dir = root + "/2/" + app + "/" + std::to_string(timeStamp);
        mkdirs(dir);
        writeFile(dir + "/State", kClosed);
        writeFile(dir + "/table", "rows");
        writeFile(dir + "/index.dat", "0123456789");
        writeSparse(dir + "/big.dat", size);
        return snapshot(dir);
    }

    // Runs update in a fresh process with the Depot keys given and checks
    // that it copied or renamed; 0 when everything held.
    int updateIn(const std::vector<std::pair<std::string, std::string>>& keys, bool expectCopy,
                 const std::map<std::string, std::string>& before,
                 BackupType type = BackupTypeFull) {
        return inFreshProcess(keys, [&] {
            platform::VirtualClock clock(kNow);
            CacheDirProbe dir(0, 1, 0, "17", type);
            dir.initialize("client1");
            const char* path = dir.update(false, 0, false);
            CHILD_CHECK(path && std::string(path) == dirPath(kNow));
            CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
            CHILD_CHECK(without(snapshot(dirPath(kNow)), "State") == without(before, "State"));
            CHILD_CHECK(dir.alreadyLocked());
            if (expectCopy) {
                CHILD_CHECK(snapshot(dirPath(100)) == before);
                // The previous index is free again: its read lock was given back.
                CacheDirProbe other(100);
                other.initialize("client1");
                CHILD_CHECK(other.writeLock(0) == 1);
            } else {
                CHILD_CHECK(!exists(dirPath(100)));
            }
            CHILD_CHECK(dir.close(false) == 0);
            return 0;
        });
    }
};

TEST_F(UpdateCopyOrRenameTest, TheSizeOfThePreviousIndexDecides) {
    struct Case {
        const char* spaceSaver; // "" = absent
        long long size;
        BackupType type;
        bool copy;
    };
    const Case cases[] = {
        {"", 2 * kMB, BackupTypeFull, true},
        {"", 3000 * kMB, BackupTypeFull, false},
        {"1", kMB / 2, BackupTypeFull, true},
        {"1", 2 * kMB, BackupTypeFull, false},
        {"1", 2 * kMB, BackupTypeSyntheticFull, true},
        {"y", kMB / 2, BackupTypeFull, false},
        {"YES", 3000 * kMB, BackupTypeFull, false},
        {"y", 2 * kMB, BackupTypeSyntheticFull, true},
    };
    for (const Case& c : cases) {
        deleteDir(root.c_str());
        const auto before = previousIndex(100, c.size);
        EXPECT_EQ(updateIn({{"sSPACESAVER", c.spaceSaver}}, c.copy, before, c.type), 0)
            << c.spaceSaver << " " << c.size;
    }
}

// A clean-up run while the update reserves space for its copy asks another
// process whether the previous index could be taken for removal. That
// process is started beforehand: a fork inside the reservation would copy
// its held critical section into the child.
struct UpdaterWithCleanUpProbe : CacheDirProbe {
    UpdaterWithCleanUpProbe(testsupport::ProcessSignal& ask, int answerFd)
        : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(0), ask_(ask), answerFd_(answerFd) {}
    int cleanUp(unsigned long, bool, bool, bool, unsigned long, const char*, unsigned long,
                unsigned int, const char*, unsigned int) override {
        ask_.post();
        char c = 0;
        if (::read(answerFd_, &c, 1) == 1)
            probeResult = c;
        return 0;
    }
    testsupport::ProcessSignal& ask_;
    int answerFd_;
    int probeResult = -1;
};

TEST_F(UpdateCopyOrRenameTest, ThePreviousIndexStaysLockedWhileTheCopyIsReserved) {
    previousIndex(100, 8 * kMB);
    EXPECT_EQ(inFreshProcess({{"sDISABLERESERVE", "no"}},
                             [&] {
                                 testsupport::ProcessSignal ask;
                                 int answer[2];
                                 CHILD_CHECK(::pipe(answer) == 0);
                                 const std::string previous = dirPath(100);
                                 pid_t prober = testsupport::forkChild([&] {
                                     if (!ask.wait())
                                         return 1;
                                     CacheDirProbe other(0);
                                     other.initialize("client1");
                                     other.usePath(previous);
                                     char c = other.writeLock(0) == 1 ? 1 : 0;
                                     return ::write(answer[1], &c, 1) == 1 ? 0 : 2;
                                 });
                                 ReservationSwitch::rearm();
                                 // Too small for a copy: the reservation asks for a clean-up.
                                 platform::SimulatedVolume volume(idx, 12 * kMB, 4096);
                                 platform::VirtualClock clock(kNow);
                                 UpdaterWithCleanUpProbe dir(ask, answer[0]);
                                 dir.initialize("client1");
                                 dir.copyUponUpdate(true);
                                 CHILD_CHECK(!dir.update(false, 0, false));
                                 CHILD_CHECK(dir.getErrno() == -10);
                                 CHILD_CHECK(testsupport::waitChild(prober) == 0);
                                 // Another process could not lock it for removal.
                                 CHILD_CHECK(dir.probeResult == 0);
                                 return 0;
                             }),
              0);
    EXPECT_TRUE(exists(statePath(100)));
}

} // namespace
