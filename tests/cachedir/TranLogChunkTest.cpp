// Transaction-log chunks: what a chunk copies and lists, what the upload's
// answer does to the restart file, and recovery from a process killed
// between the writes of a chunk.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <utime.h>

#include <ctime>
#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/CrashPoint.h"
#include "platform/OXPlatformInfo.h"
#include "platform/TCtreeTable.h"

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
    static void configure(CacheDirProbe& dir, bool upload) {
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
        const char* service; // "up", "mute", "none"
        const char* status;  // the stand-in index server's answer
        int answer;
    };
    const Case cases[] = {
        {"accepted", "up", "0", 0},
        {"refused", "up", "5", 0},
        {"no reply", "mute", "0", -2},
        {"send failed", "none", "0", -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        deleteDir(root.c_str());
        platform::KeyStore::set("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", "1");
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
        EXPECT_EQ(dir->createCopy("R1", 5, 0), c.answer);
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
