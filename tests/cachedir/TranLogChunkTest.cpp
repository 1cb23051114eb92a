// Transaction-log chunks: what a chunk copies and lists, what the upload's
// answer does to the restart file, and recovery from a process killed
// between the writes of a chunk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <utime.h>

#include <ctime>
#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "cachefs/CacheOpsMessages.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/CrashPoint.h"
#include "platform/OXPlatformInfo.h"
#include "platform/TCtreeTable.h"
#include "support/Seccomp.h"

namespace {

constexpr unsigned long kTs = 1700000100;

int cli(const std::vector<std::string>& args) {
    return testsupport::runInChild([&] {
        std::vector<char*> argv{const_cast<char*>(IDXCACHE_CLI)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(IDXCACHE_CLI, argv.data());
        return 127;
    });
}

struct TranLogChunkTest : CacheDirFixture {
    std::string f(const std::string& name) const { return dirPath(kTs) + "/" + name; }
    std::string restart() const { return testsupport::readFile(f("TL_RST.cfg")); }
    long long lines() const {
        return TCtreeTable::TranLog_countBsNsInFile(f("TL_RST.cfg").c_str());
    }
    void age(const std::string& name) const {
        const time_t old = std::time(nullptr) - 100;
        struct utimbuf t = {old, old};
        ::utime(f(name).c_str(), &t);
    }
    std::unique_ptr<CacheDirProbe> writing(bool upload) {
        auto dir = lifecycle::openForWriting(*this, kTs);
        configure(*dir, upload);
        for (const char* name : {"tree.dat", "tree.idx", "JobId", "notes.log"})
            testsupport::writeFile(f(name), name);
        testsupport::writeFile(f("current_chunk"), "\"tree.dat\"");
        return dir;
    }
    // The file list of the n-th upload request the service recorded.
    std::string uploaded(int n) const {
        char name[40];
        std::snprintf(name, sizeof name, "/IndexServer/uploads/%08d.xml", n);
        auto request = CNMessageBase::fromXml(testsupport::readFile(home.path() + name), nullptr);
        std::string list;
        if (request)
            cacheops::getString(*request, cacheops::kUploadClassKey, cacheops::kUpFileList, list);
        return list;
    }
    static void configure(CacheDirProbe& dir, bool upload) {
        platform::KeyStore::set("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", "1");
        dir.setIndexCheckpointFlag(false);
        dir.setIndexUseTranLogFlag(true);
        dir.setIndexUseCatalogServerIfAvailFlag(upload);
        dir.setIndexUseAlternateIndexServerIfAvailFlag(false);
    }
};

TEST_F(TranLogChunkTest, ChunksCopyWhatChangedSinceTheLastAcceptedOne) {
    {
        auto off = lifecycle::openForWriting(*this, kTs);
        off->setIndexCheckpointFlag(false);
        off->setIndexUseTranLogFlag(false);
        EXPECT_EQ(off->createCopy("R0"), 0);
        EXPECT_FALSE(testsupport::exists(f("TL_RST.cfg")));
    }
    auto dir = writing(false);
    ASSERT_EQ(dir->createCopy("R1", 5, 0), 0);
    EXPECT_EQ(dir->getState(false), 3);
    for (const char* name : {"tree.start.dat", "tree.start.idx", "State.trn_0001", "JobId.trn_0001",
                             "notes.log.trn_0001"})
        EXPECT_TRUE(testsupport::exists(f(name))) << name;
    EXPECT_FALSE(testsupport::exists(f("tree.dat.trn_0001")));
    EXPECT_FALSE(testsupport::exists(f("current_chunk")));
    EXPECT_FALSE(testsupport::exists(f("TL_RST.cfg.bak")));
    EXPECT_EQ(lines(), 1);
    EXPECT_EQ(restart().rfind("\"5 R1\" \"tree.dat\" ", 0), 0u) << restart();

    age("JobId");
    testsupport::writeFile(f("notes.log"), "changed");
    ASSERT_EQ(dir->createCopy("R2", 5, 0), 0);
    EXPECT_EQ(lines(), 2);
    EXPECT_FALSE(testsupport::exists(f("JobId.trn_0002")));
    EXPECT_TRUE(testsupport::exists(f("notes.log.trn_0002")));
    EXPECT_TRUE(testsupport::exists(f("State.trn_0002")));
    EXPECT_EQ(restart().find("tree.start", restart().find('\n')), std::string::npos);
    EXPECT_EQ(dir->createCopy("bad\"one", 5, 0), -1);

    // A time mark that is not exactly eight bytes copies every file again.
    testsupport::writeFile(f("TL_RST.cfg.timemark"), "1234");
    ASSERT_EQ(dir->createCopy("R3", 5, 0), 0);
    EXPECT_TRUE(testsupport::exists(f("JobId.trn_0003")));
}

// Queue answers from the real service (0 and 5), a service that closes the
// connection without answering (-2: the wait ends at once) and no service
// (-3). Only 0 commits the chunk.
TEST_F(TranLogChunkTest, OnlyAnAcceptedUploadCommitsTheChunk) {
    struct Case {
        const char* name;
        const char* service; // "up", "mute", "none", "queue" (no sync-up entry can be made)
        const char* status;  // the stand-in index server's answer
        int answer;
    };
    const Case cases[] = {
        {"accepted", "up", "0", 0},
        {"refused", "up", "5", 0},
        {"no reply", "mute", "0", -2},
        {"send failed", "none", "0", -3},
        {"queue entry failed", "queue", "0", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        deleteDir(root.c_str());
        platform::KeyStore::set("Depot", "nTLUPLOADSTANDINSTATUS", c.status);
        pid_t mute = -1;
        testsupport::ProcessSignal listening;
        if (std::string(c.service) == "up") {
            ASSERT_EQ(cli({"service", "start"}), 0);
        } else if (std::string(c.service) == "mute") {
            mute = testsupport::forkChild([&] {
                sockaddr_un address;
                socklen_t length = 0;
                platform::makeSocketAddress(platform::depotSvcSocketPath(), address, length);
                int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                ::unlink(platform::depotSvcSocketPath().c_str());
                if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
                    ::listen(fd, 1) != 0)
                    return 2;
                listening.post();
                int peer = ::accept(fd, nullptr, nullptr);
                std::string body;
                platform::readFrame(peer, platform::kUploadFrameCap, 5000, body);
                ::close(peer);
                return 0;
            });
            ASSERT_TRUE(listening.wait());
        }
        auto dir = writing(true);
        const bool queue = std::string(c.service) == "queue";
        std::unique_ptr<platform::VirtualClock> clock; // the queue's retries wait on it
        if (queue) {
            dir->setIndexUseAlternateIndexServerIfAvailFlag(true);
            testsupport::writeFile(idx + "/CatalogServer", ""); // in the queue folder's place
            clock = std::make_unique<platform::VirtualClock>();
        }
        EXPECT_EQ(dir->createCopy("R1", 5, queue ? 4 : 0), c.answer);
        if (std::string(c.service) == "up")
            cli({"service", "stop"});
        if (mute > 0) {
            EXPECT_EQ(testsupport::waitChild(mute), 0);
        }
        const bool committed = c.answer == 0 && std::string(c.status) == "0";
        EXPECT_EQ(lines(), committed ? 1 : 0);
        EXPECT_EQ(testsupport::exists(f("current_chunk")), !committed);
        EXPECT_EQ(testsupport::exists(f("TL_RST.cfg.timemark")), committed);
        EXPECT_FALSE(testsupport::exists(f("TL_RST.cfg.bak")));
        if (committed) {
            const std::string record =
                testsupport::readFile(home.path() + "/IndexServer/uploads/00000001.xml");
            EXPECT_NE(record.find("OX_Index/2/17/1700000100"), std::string::npos);
        }
    }
}

// Subdirectories are walked (a ".trn_" copy there is never copied again),
// names a restart-file line cannot quote are skipped, and a commit lists
// every file of the directory without copying any.
TEST_F(TranLogChunkTest, SubdirectoriesAndUnquotableNames) {
    auto dir = writing(true);
    mkdirs(f("comp/deep"));
    testsupport::writeFile(f("comp/deep/part.bin"), "p");
    const std::string unquotable[] = {"q\"uote.log", "c\rr.log", "l\nf.log"};
    for (const std::string& name : unquotable) {
        testsupport::writeFile(f(name), name);
        testsupport::writeFile(f("comp/" + name), name);
    }
    ASSERT_EQ(cli({"service", "start"}), 0);
    EXPECT_EQ(dir->createCopy("R1", 5, 0), 0);
    EXPECT_EQ(dir->createCopy("R2", 5, 0), 0);
    testsupport::writeFile(f("current_chunk"), "\"tree.dat\"");
    EXPECT_EQ(dir->commitTLTransactions(), 0);
    cli({"service", "stop"});
    EXPECT_EQ(lines(), 2);
    EXPECT_NE(restart().find("\"comp/deep/part.bin.trn_0001\""), std::string::npos);
    EXPECT_FALSE(testsupport::exists(f("comp/deep/part.bin.trn_0001.trn_0002")));
    for (const std::string& name : unquotable) {
        EXPECT_FALSE(testsupport::exists(f(name + ".trn_0001")));
        EXPECT_FALSE(testsupport::exists(f("comp/" + name + ".trn_0001")));
    }
    const std::string commit = uploaded(3);
    EXPECT_NE(commit.find("\"comp/deep/part.bin\""), std::string::npos) << commit;
    EXPECT_NE(commit.find("\"notes.log\""), std::string::npos);
    for (const char* absent : {"\"TL_RST.cfg\"", "\"current_chunk\"", ".trn_0003", "uote"})
        EXPECT_EQ(commit.find(absent), std::string::npos) << absent;
}

// The restart file is copied to ".bak" before anything else: when that copy
// fails the chunk stops there and the restart file keeps its lines.
TEST_F(TranLogChunkTest, AFailedBackupCopyStopsTheChunkFirst) {
    {
        auto dir = writing(false);
        ASSERT_EQ(dir->createCopy("R1", 5, 0), 0);
        dir->setState(1); // State changed since: the next chunk has an entry
        dir->unLock();
    }
    age("JobId");
    age("notes.log");
    const std::string before = restart();
    const int rc = testsupport::runInChild([&] {
        auto child = make(kTs);
        configure(*child, false);
        child->usePath(dirPath(kTs));
        // Every file copy fails to open its target; State is copied otherwise.
        const unsigned long copyTarget = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;
        if (child->reopenStateFile() != 0 ||
            !testsupport::failSyscall(SYS_openat, 2, copyTarget, ENOSPC))
            return 77;
        return child->createCopy("R2", 5, 0) == -1 ? 0 : 1;
    });
    if (rc == 77)
        GTEST_SKIP() << "the kernel refused the system call filter";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(restart(), before);
    EXPECT_FALSE(testsupport::exists(f("State.trn_0002")));
    EXPECT_FALSE(testsupport::exists(f("TL_RST.cfg.bak")));
}

// With a local intermediate cache the files go straight to the remote cache
// directory: a chunk's files (State and JobId also under their own names);
// flag 4 the whole directory in place of what was there; flag 1 renames the
// remote directory of this time stamp to the named one, never outside.
TEST_F(TranLogChunkTest, ARemoteCacheRootGetsTheFilesThemselves) {
    const std::string local = home.sub("local", true);
    platform::KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    CacheDirProbe dir(kTs);
    dir.setUseIntermediateCache(true);
    dir.initialize("client1");
    ASSERT_EQ(dir.mkCacheDir(), 0);
    dir.setState(3);
    configure(dir, true);
    const std::string here = dir.getCacheDir(), remote = dirPath(kTs);
    ASSERT_EQ(here, local + "/OX_Index/2/17/1700000100");
    testsupport::writeFile(here + "/JobId", "77:");
    testsupport::writeFile(here + "/notes.log", "n");
    ASSERT_EQ(dir.createCopy("R1", 5, 0), 0);
    for (const char* name :
         {"State.trn_0001", "JobId.trn_0001", "notes.log.trn_0001", "TL_RST.cfg", "State", "JobId"})
        EXPECT_TRUE(testsupport::exists(remote + "/" + name)) << name;
    EXPECT_FALSE(testsupport::exists(remote + "/notes.log"));

    testsupport::writeFile(remote + "/stale.trn_0009", "");
    ASSERT_EQ(dir.appendRecordToChunkUploadQueue(0, "", "", 4), 0);
    EXPECT_FALSE(testsupport::exists(remote + "/stale.trn_0009"));
    EXPECT_EQ(testsupport::readFile(remote + "/notes.log"), "n");

    EXPECT_EQ(dir.appendRecordToChunkUploadQueue(0, "", "OX_Index\\2\\17\\1700000999", 1), 0);
    EXPECT_EQ(testsupport::readFile(dirPath(1700000999) + "/notes.log"), "n");
    EXPECT_FALSE(testsupport::exists(remote));
    mkdirs(remote);
    EXPECT_EQ(dir.appendRecordToChunkUploadQueue(0, "", "OX_Index/../../1700000998", 1), -1);
    EXPECT_TRUE(testsupport::exists(remote));
}

// Killed between the writes of a chunk: the next chunk backs out what was
// never accepted, so the restart file's lines are the accepted chunks and
// both base copies exist.
TEST_F(TranLogChunkTest, AKilledChunkIsBackedOutByTheNextOne) {
    for (const char* point : {"tranlog.base", "tranlog.appended", "tranlog.queued"}) {
        SCOPED_TRACE(point);
        deleteDir(root.c_str());
        {
            auto dir = writing(false);
            dir->setState(1);
            dir->unLock();
        }
        const int rc = testsupport::runInChild([&] {
            ::setenv("IDXCACHE_CRASH_AT", (std::string(point) + ":1").c_str(), 1);
            auto child = make(kTs);
            configure(*child, false);
            child->usePath(dirPath(kTs));
            child->reopenStateFile();
            child->createCopy("R1", 5, 0);
            return 0;
        });
        ASSERT_EQ(rc, platform::IDXCACHE_CRASH_EXIT);
        auto next = make(kTs);
        configure(*next, false);
        next->usePath(dirPath(kTs));
        ASSERT_EQ(next->reopenStateFile(), 0);
        ASSERT_EQ(next->createCopy("R2", 5, 0), 0);
        EXPECT_EQ(lines(), 1);
        EXPECT_NE(restart().find("\"tree.dat\""), std::string::npos); // re-sent, not lost
        EXPECT_TRUE(testsupport::exists(f("tree.start.dat")));
        EXPECT_TRUE(testsupport::exists(f("tree.start.idx")));
        EXPECT_FALSE(testsupport::exists(f("TL_RST.cfg.bak")));
    }
}

} // namespace
