// Whether update copies or renames the previous index: the size threshold,
// the settings and application types that force a copy for the rest of the
// process, and the space reserved before a copy. Each case runs in a process
// of its own, since these settings are process-wide.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cachedir/CreateOpenUpdateSupport.h"
#include "platform/ApplicationId.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
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
                 const std::map<std::string, std::string>& before, BackupType type = BackupTypeFull,
                 const std::string& line = "") {
        return inFreshProcess(keys, [&] {
            platform::VirtualClock clock(kNow);
            platform::TestSink sink;
            CacheDirProbe dir(0, 1, 0, "17", type);
            dir.initialize("client1");
            const char* path = dir.update(false, 0, false);
            CHILD_CHECK(path && std::string(path) == dirPath(kNow));
            CHILD_CHECK(line.empty() || loggedLine(sink, line));
            CHILD_CHECK(readFile(statePath(kNow)) == kWriting);
            CHILD_CHECK(without(snapshot(dirPath(kNow)), "State") == without(before, "State"));
            CHILD_CHECK(dir.alreadyLocked());
            if (expectCopy) {
                CHILD_CHECK(snapshot(dirPath(100)) == before);
                CHILD_CHECK(loggedLine(sink,
                                       "cache dir '" + dirPath(100) + "' is being copied to '" +
                                           dirPath(kNow) + "'",
                                       3));
                CHILD_CHECK(loggedLine(sink, "job 0 copying '" + dirPath(100) + "' to '" +
                                                 dirPath(kNow) + "'"));
                // The previous index is free again: its read lock was given back.
                CacheDirProbe other(100);
                other.initialize("client1");
                CHILD_CHECK(other.writeLock(0) == 1);
            } else {
                CHILD_CHECK(!exists(dirPath(100)));
                CHILD_CHECK(loggedLine(sink, "obtained a read lock on '" + dirPath(100) + "'", 3));
                CHILD_CHECK(loggedLine(sink, "job 0 renaming '" + dirPath(100) + "' to '" +
                                                 dirPath(kNow) + "'"));
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
        const char* notCopied; // the threshold line, when renaming for size
    };
    const Case cases[] = {
        {"", 2 * kMB, BackupTypeFull, true, nullptr},
        {"", 3000 * kMB, BackupTypeFull, false, "3000 MB is larger than threshold 2048 MB"},
        {"1", kMB / 2, BackupTypeFull, true, nullptr},
        {"1", 2 * kMB, BackupTypeFull, false, "2 MB is larger than threshold 1 MB"},
        {"1", 2 * kMB, BackupTypeSyntheticFull, true, nullptr},
        {"y", kMB / 2, BackupTypeFull, false, nullptr},
        {"YES", 3000 * kMB, BackupTypeFull, false, nullptr},
        {"y", 2 * kMB, BackupTypeSyntheticFull, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.spaceSaver) + " " + std::to_string(c.size));
        deleteDir(root.c_str());
        const auto before = previousIndex(100, c.size);
        const std::string line =
            c.notCopied ? "folder " + dirPath(100) + " will not be copied - " + c.notCopied : "";
        EXPECT_EQ(updateIn({{"sSPACESAVER", c.spaceSaver}}, c.copy, before, c.type, line), 0);
    }
}

TEST_F(UpdateCopyOrRenameTest, ForcedCopyingLastsForTheRestOfTheProcess) {
    platform::KeyStore::set(platform::kPlatformSection, "DebugLevel", "5");
    struct Case {
        std::vector<std::pair<std::string, std::string>> keys;
        const char* appType; // real application type of application 17, "" = unknown
        bool alternate;
        bool copy;
        const char* line; // expected at level 3 ("" none)
        int forcedLevel5; // real type in the level-5 line, -1 when not forced that way
        const char* keepLatest;
    };
    const Case cases[] = {
        {{{"disableIndexRename", "1"}},
         "",
         false,
         true,
         "Registry key disableIndexRename is present with value 1",
         -1,
         "false"},
        {{{"disableIndexRename", "0"}}, "", false, false, "", -1, "false"},
        {{{"bKEEPLATESTINDEX", "1"}},
         "",
         false,
         true,
         "Registry key 'bKEEPLATESTINDEX' is set to [1] - preserve latest index in cache for "
         "each subclient is present",
         0,
         "true"},
        {{}, "105", false, true, "", 105, "false"},
        {{}, "54", false, true, "", 54, "false"},
        {{}, "8", false, true, "", 8, "false"},
        {{}, "14", false, true, "", 14, "false"},
        {{}, "106", false, true, "", 106, "false"},
        {{{"enableIndexRenameVSA", "1"}},
         "106",
         false,
         false,
         "Registry key enableIndexRenameVSA is present with value 1",
         -1,
         "false"},
        {{}, "", true, true, "", 0, "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.appType) + " " + c.line);
        deleteDir(root.c_str());
        // Both larger than a threshold of 1 MB: renamed unless copying is forced.
        const auto before = previousIndex(100, 2 * kMB);
        previousIndex(100, 2 * kMB, "18");
        auto keys = c.keys;
        keys.emplace_back("sSPACESAVER", "1");
        if (*c.appType)
            platform::KeyStore::set(kAppsSection, "2:17.type", c.appType);
        else
            platform::KeyStore::remove(kAppsSection, "2:17.type");
        EXPECT_EQ(
            inFreshProcess(
                keys,
                [&] {
                    platform::VirtualClock clock(kNow);
                    platform::TestSink sink;
                    CacheDirProbe dir(0);
                    dir.initialize("client1");
                    if (c.alternate)
                        dir.setIndexUseAlternateIndexServerIfAvailFlag(true);
                    const char* path = dir.update(false, 0, false);
                    CHILD_CHECK(path);
                    CHILD_CHECK(exists(dirPath(100)) == c.copy);
                    CHILD_CHECK(without(snapshot(path), "State") == without(before, "State"));
                    CHILD_CHECK(!*c.line || loggedLine(sink, c.line, 3));
                    if (c.forcedLevel5 >= 0) {
                        std::string forced = "copy index upon update [true] - app type [" +
                                             std::to_string(c.forcedLevel5) +
                                             "], , keep latest index setting [" + c.keepLatest +
                                             "], use alternate index server [" +
                                             (c.alternate ? "true" : "false") + "]";
                        CHILD_CHECK(loggedLine(sink, forced, 5));
                    }
                    CHILD_CHECK((IndexCacheDirBase::getCopyUponUpdateThreshold() == 0) == c.copy);
                    CHILD_CHECK(dir.close(false) == 0);

                    // Another application, no forcing key left: its
                    // index of 2 MB is copied only when the threshold
                    // went to 0 above.
                    for (const auto& kv : c.keys)
                        platform::KeyStore::remove("Depot", kv.first);
                    clock.advance(1);
                    CacheDirProbe later(0, 1, 0, "18");
                    later.initialize("client1");
                    const char* next = later.update(false, 0, false);
                    CHILD_CHECK(next);
                    CHILD_CHECK(exists(root + "/2/18/100") == c.copy);
                    CHILD_CHECK(later.close(false) == 0);
                    return 0;
                }),
            0);
    }
}

TEST_F(UpdateCopyOrRenameTest, SpaceForTheCopyIsReservedFirst) {
    platform::KeyStore::set("idxcache.clients", "client1", "42");
    const auto before = previousIndex(100, kMB);
    size_t total = 0; // every file is small enough to be in the snapshot whole
    for (const auto& kv : before)
        total += kv.second.size();
    for (unsigned long long capacity : {4 * kMB, 1024 * kMB}) {
        const bool enough = capacity > 4 * kMB;
        EXPECT_EQ(inFreshProcess({{"sDISABLERESERVE", "no"}},
                                 [&] {
                                     ReservationSwitch::rearm();
                                     platform::SimulatedVolume volume(idx, capacity, 4096);
                                     platform::VirtualClock clock(kNow);
                                     platform::TestSink sink;
                                     CacheDirProbe dir(0);
                                     dir.initialize("client1");
                                     dir.copyUponUpdate(true);
                                     const char* path = dir.update(false, 0, false);
                                     if (enough) {
                                         CHILD_CHECK(path);
                                         CHILD_CHECK(without(snapshot(path), "State") ==
                                                     without(before, "State"));
                                         CHILD_CHECK(exists(idx + "/OX_Index/reserveFile"));
                                         CHILD_CHECK(dir.close(false) == 0);
                                         return 0;
                                     }
                                     CHILD_CHECK(!path);
                                     CHILD_CHECK(dir.getErrno() == -10);
                                     CHILD_CHECK(
                                         loggedLine(sink,
                                                    "folder " + dirPath(100) +
                                                        " could not be copied - reservation "
                                                        "of " +
                                                        std::to_string(total) +
                                                        " bytes failed due to lack of space",
                                                    1));
                                     CHILD_CHECK(loggedLine(
                                         sink, "update(): space reservation failed: errno=-10", 1));
                                     // Nothing was made for the copy.
                                     CHILD_CHECK(!exists(dirPath(kNow)));
                                     CHILD_CHECK(snapshot(dirPath(100)) == before);
                                     return 0;
                                 }),
                  0)
            << capacity;
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

TEST_F(UpdateCopyOrRenameTest, ARenameThatFailsOtherwiseThanForAccessFails) {
    const auto before = previousIndex(100, 0);
    // Something already lies where the renamed index should go.
    mkdirs(dirPath(kNow));
    writeFile(dirPath(kNow) + "/stray", "x");
    EXPECT_EQ(inFreshProcess(
                  {{"sSPACESAVER", "y"}},
                  [&] {
                      platform::VirtualClock clock(kNow);
                      platform::TestSink sink;
                      CacheDirProbe dir(0);
                      dir.initialize("client1");
                      // Named as the limit, so the stray newer directory is
                      // not taken for the previous index.
                      CHILD_CHECK(!dir.update(false, 100, false));
                      CHILD_CHECK(dir.getErrno() == ENOTEMPTY);
                      CHILD_CHECK(loggedLine(
                          sink, "safeRename failed with errno " + std::to_string(ENOTEMPTY), 3));
                      CHILD_CHECK(loggedLine(sink,
                                             "update(): rename cacheDir failed: errno=" +
                                                 std::to_string(ENOTEMPTY),
                                             1));
                      return 0;
                  }),
              0);
    EXPECT_EQ(snapshot(dirPath(100)), before);
    EXPECT_EQ(snapshot(dirPath(kNow)), (std::map<std::string, std::string>{{"stray", "x"}}));
}

} // namespace
