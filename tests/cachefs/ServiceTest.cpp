// The storage-node service as a real process in a scratch home, driven by
// the library's remote operations and by raw frames.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cachefs/CacheOpsMessages.h"
#include "cachefs/CacheOpsService.h"
#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/CXmlMsgRouter.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using testsupport::readFile;
using testsupport::runInChild;

namespace {

int cli(const std::vector<std::string>& args, const char* crashAt = nullptr) {
    return runInChild([&] {
        if (crashAt)
            setenv("IDXCACHE_CRASH_AT", crashAt, 1);
        std::vector<char*> argv{const_cast<char*>(IDXCACHE_CLI)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(IDXCACHE_CLI, argv.data());
        return 127;
    });
}

// The tape cache of application type 5, as every requester here uses it.
struct TapeFs : JobResultsCacheFs {
    TapeFs() : CacheFsBase(5, TCacheTypeTape, false), JobResultsCacheFs(5, TCacheTypeTape, false) {
        initialize(nullptr);
    }
};

struct ServiceTest : ::testing::Test {
    testsupport::ScratchHome home;
    void SetUp() override {
        platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
        ASSERT_EQ(cli({"service", "start"}), 0);
    }
    void TearDown() override { cli({"service", "stop"}); }
    std::string reserveFile() { return TapeFs().getReserveFilePath(); }
};

// A requester's remote reservation in a fresh process: its answer, and the
// last reserved blocks it holds afterwards.
int remoteReserve(const std::vector<long>& steps) {
    TapeFs fs;
    for (long blocks : steps)
        if (int rc = fs.remoteReserveOnDisk(blocks, 0, nullptr, 0, false); rc != 1) {
            std::fprintf(stderr, "reserve of %ld blocks answered %d\n", blocks, rc);
            return 10;
        }
    return 0;
}

// A connection to the service's socket, or one listening in its place; -1 on failure.
int serviceSocket(bool listening = false) {
    sockaddr_un address;
    socklen_t length = 0;
    platform::makeSocketAddress(platform::depotSvcSocketPath(), address, length);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* a = reinterpret_cast<sockaddr*>(&address);
    if (fd >= 0 && (listening ? bind(fd, a, length) != 0 || listen(fd, 8) != 0
                              : connect(fd, a, length) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& frame) {
    return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

// The status of the acknowledgement read from fd (closed), or -100 when none.
long long readStatus(int fd) {
    std::string body;
    long long status = -100;
    if (platform::readFrame(fd, platform::kCacheOpFrameCap, 20000, body) == 0) {
        auto m = CNMessageBase::fromXml(body, nullptr);
        if (m)
            cacheops::getInt(*m, cacheops::kAckClassKey, cacheops::kAckStatus, status);
    }
    close(fd);
    return status;
}

// Sends one raw frame and reads the answer's status (or -100 when none);
// a requester that dies at once closes without reading.
long long rawExchange(const std::string& frame, bool dies = false) {
    int fd = serviceSocket();
    if (fd < 0 || !sendAll(fd, frame) || dies) {
        if (fd >= 0)
            close(fd);
        return -100;
    }
    return readStatus(fd);
}

std::string frameOf(const std::string& body) {
    uint32_t n = static_cast<uint32_t>(body.size());
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 8), static_cast<char>(n)} +
           body;
}

// The fields every cache operation carries, as a requester of this pid sends them.
void setBase(CNMessageBase& m, const std::string& pid, long long cacheType) {
    using namespace cacheops;
    setInt(m, kBaseClassKey, kAppType, 5);
    setInt(m, kBaseClassKey, kCacheType, cacheType);
    setString(m, kBaseClassKey, kPid, pid);
    setInt(m, kBaseClassKey, kMultiThreaded, 0);
    setInt(m, kBaseClassKey, kMultiJob, 0);
}

std::string request(const std::string& pid, const std::string& app, long long cacheType,
                    long long blocks) {
    Indexing::ReserveOnDiskRequest r;
    cacheops::setInt(r, cacheops::kReserveClassKey, cacheops::kResNumBlocks, blocks);
    cacheops::setString(r, cacheops::kReserveClassKey, cacheops::kResApp, app);
    setBase(r, pid, cacheType);
    return r.toXml();
}

} // namespace

TEST_F(ServiceTest, ReleaseOverTheWireAndHostileFramesLeaveTheReserveFileAlone) {
    // The requester reserves 100 blocks and gives 5 back: -5 travels as 4294967291.
    pid_t holder = testsupport::forkChild([] {
        TapeFs fs;
        if (fs.remoteReserveOnDisk(100, 0, nullptr, 0, false) != 1 ||
            fs.remoteReserveOnDisk(-5, 0, nullptr, 0, false) != 1)
            return 1;
        pause();
        return 0;
    });
    std::string path = reserveFile();
    std::string line = ":" + std::to_string(holder) + " 95 ";
    for (int i = 0; i < 2000 && readFile(path).find(line) == std::string::npos; ++i)
        usleep(5000);
    std::string before = readFile(path);
    EXPECT_NE(before.find(line), std::string::npos) << before;
    EXPECT_EQ(readFile(home.path() + "/logs/idxcache.log").find("calling cleanUp"),
              std::string::npos);

    // The same release as a raw frame, then hostile ones: none changes the file.
    EXPECT_EQ(rawExchange(frameOf(request(std::to_string(holder), "", 0, 4294967291LL))), 1);
    std::string after = readFile(path);
    EXPECT_NE(after.find(":" + std::to_string(holder) + " 90 "), std::string::npos) << after;
    const std::string hostile[] = {
        std::string("\x7f\xff\xff\xff", 4),
        frameOf("<message><int"),
        frameOf(request("1 99", "", 0, 10)),
        frameOf(request("1", "", 0, 10)),
        frameOf(request("99999999999", "", 0, 10)),
        frameOf(request(std::to_string(holder), "../x", 0, 10)),
        frameOf(request(std::to_string(holder), "", 9, 10)),
        frameOf(request(std::to_string(holder), "", 0, -1)),
    };
    for (const std::string& frame : hostile) {
        EXPECT_EQ(rawExchange(frame), -1) << frame.substr(4);
        EXPECT_EQ(readFile(path), after);
    }
    kill(holder, SIGKILL);
    testsupport::waitChild(holder);
}

TEST_F(ServiceTest, DeadOrSilentServiceAnswersAtOnceAndStartWorksAgain) {
    // A requester that dies after sending does not stop the next one.
    EXPECT_EQ(rawExchange(frameOf(request("2", "", 0, 1)).substr(0, 10), true), -100);
    EXPECT_EQ(runInChild([] { return remoteReserve({10}); }), 0);

    // Two requesters at once each get their own answer.
    pid_t a = testsupport::forkChild([] { return remoteReserve({30, 40, 50}); });
    pid_t b = testsupport::forkChild([] { return remoteReserve({7, 8, 9}); });
    EXPECT_EQ(testsupport::waitChild(a), 0);
    EXPECT_EQ(testsupport::waitChild(b), 0);

    // Killed service: its socket is stale and refuses at once.
    pid_t svc = CacheOpsService::runningPid();
    ASSERT_GT(svc, 0);
    kill(svc, SIGKILL);
    while (CacheOpsService::runningPid() != 0)
        usleep(1000);
    EXPECT_EQ(runInChild([] { return remoteReserve({10}); }), 10);
    ASSERT_EQ(cli({"service", "start"}), 0);
    EXPECT_EQ(runInChild([] { return remoteReserve({10}); }), 0);
    ASSERT_EQ(cli({"service", "stop"}), 0);
    EXPECT_EQ(runInChild([] { return remoteReserve({10}); }), 10);

    // A live service that never answers costs the receive time-out only.
    int silent = serviceSocket(true);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(runInChild([] {
                  struct ShortWait : platform::Env {
                      unsigned long receiveTimeoutMs(unsigned long) override { return 50; }
                  } env;
                  platform::setEnv(&env);
                  return remoteReserve({10});
              }),
              10);
    close(silent);
    unlink(platform::depotSvcSocketPath().c_str());
    ASSERT_EQ(cli({"service", "start"}), 0);
}

namespace {

Indexing::TranLogUploadReq upload(long long flags, long long entries, const std::string& path,
                                  const std::string& list, const std::string& restart = "r1") {
    using namespace cacheops;
    Indexing::TranLogUploadReq r;
    setInt(r, kUploadClassKey, kUpFlags, flags);
    setInt(r, kUploadClassKey, kUpEntries, entries);
    setInt(r, kUploadClassKey, kUpJobIdArg, wire32(-7));
    setString(r, kUploadClassKey, kUpRestart, restart);
    setString(r, kUploadClassKey, kUpPath, path);
    setString(r, kUploadClassKey, kUpFileList, list);
    setInt(r, kUploadClassKey, kUpJobId, 4294967289LL);
    setString(r, kUploadClassKey, kUpClientName, "node1");
    return r;
}

// The reply's status through the router, or -100 without a reply.
long long uploadStatus(Indexing::TranLogUploadReq request) {
    CXmlMsgRouter::initializeCommunicationRouter(nullptr);
    CXmlMsgRouter* router = CXmlMsgRouter::getCommunicationRouter();
    CNMessageBase* reply = nullptr;
    if (router->send(&request, 1) != 0 || router->receive(&reply, 1, 20000, 0) != 0)
        return -100;
    std::unique_ptr<CNMessageBase> owned(reply);
    long long status = cacheops::kUpStatusAbsent;
    if (reply->getTagId() == cacheops::kUploadReplyClassKey)
        cacheops::getInt(*reply, cacheops::kUploadReplyClassKey, cacheops::kUpReplyStatus, status);
    return status;
}

} // namespace

TEST_F(ServiceTest, UploadRequestsAreRecordedAndAnsweredWithTheStandInStatus) {
    const std::string list = "\"State.trn_0001\" \"sub/tree.start.dat\" \"TL_RST.cfg\"";
    std::string dir = CacheOpsService::uploadsDir();
    EXPECT_EQ(uploadStatus(upload(0, 3, "CV_1/42", list)), 0);
    std::string first = readFile(dir + "/00000001.xml");
    auto recorded = CNMessageBase::fromXml(first, nullptr);
    ASSERT_TRUE(recorded);
    std::string text;
    cacheops::getString(*recorded, cacheops::kUploadClassKey, cacheops::kUpFileList, text);
    EXPECT_EQ(text, list);

    platform::KeyStore::set("Depot", CacheOpsService::kUploadStatusKey, "5");
    EXPECT_EQ(uploadStatus(upload(1, 1, "CV_1/42", "CV_1/42/1700000000")), 5);
    EXPECT_FALSE(readFile(dir + "/00000002.xml").empty());
    // An upload frame may pass the cache-operation cap.
    std::string big;
    for (int i = 0; i < 80000; ++i)
        big += (i ? " \"" : "\"") + std::to_string(i) + ".trn_0001\"";
    ASSERT_GT(big.size(), platform::kCacheOpFrameCap);
    EXPECT_EQ(uploadStatus(upload(0, 80000, "CV_1/42", big)), 5);

    const Indexing::TranLogUploadReq invalid[] = {
        upload(0, 2, "CV_1/42", list),
        upload(2, 3, "CV_1/42", list),
        upload(0, 3, "../42", list),
        upload(0, 3, "/abs", list),
        upload(0, 2, "CV_1/42", "\"a\"  \"b\""),
        upload(0, 2, "CV_1/42", "\"a\" \"../b\""),
        upload(1, 1, "CV_1/42", "x/../../etc"),
        upload(0, 3, "CV_1/42", list, "r\"1"),
    };
    for (const auto& request : invalid)
        EXPECT_EQ(uploadStatus(request), CacheOpsService::kErrInvalid) << request.toXml();
    platform::KeyStore::set("Depot", CacheOpsService::kUploadStatusKey, "2147483648");
    EXPECT_EQ(uploadStatus(upload(0, 3, "CV_1/42", list)), CacheOpsService::kErrFailed);
    EXPECT_TRUE(readFile(dir + "/00000004.xml").empty());
}

TEST_F(ServiceTest, StopWaitsForTheCleanUpBeingServed) {
    std::string root = TapeFs().getCacheFs();
    for (unsigned long ts = 1000; ts < 1040; ++ts)
        cleanup::layCacheDir(root, 2, "17", ts, cleanup::kNow - 400 * cleanup::kDay);

    // A requester that has connected but not sent holds the service, so the
    // clean-up and then the stop queue up behind it in that order.
    int blocker = serviceSocket();
    int cleaner = serviceSocket();
    ASSERT_GE(cleaner, 0);
    Indexing::CleanupRequest clean;
    using namespace cacheops;
    setInt(clean, kCleanupClassKey, kClnNumBlocks, 0);
    setInt(clean, kCleanupClassKey, kClnRemoveAllOld, 1);
    setInt(clean, kCleanupClassKey, kClnUseAccessTime, 1);
    setBase(clean, std::to_string(getpid()), 0);
    ASSERT_TRUE(sendAll(cleaner, frameOf(clean.toXml())));
    int stopper = serviceSocket();
    ASSERT_TRUE(
        sendAll(stopper, frameOf(CNMessageBase(kSubsystem, 0, kStopClassKey, "Stop").toXml())));
    ASSERT_TRUE(sendAll(blocker, frameOf("<message><int")));
    EXPECT_EQ(readStatus(blocker), -1);

    // The clean-up is answered whole, then the stop.
    EXPECT_EQ(readStatus(cleaner), 1);
    EXPECT_FALSE(testsupport::exists(cleanup::dirOf(root, 2, "17", 1039)));
    EXPECT_EQ(readStatus(stopper), 0);
    while (CacheOpsService::runningPid() != 0)
        usleep(1000);
    EXPECT_FALSE(testsupport::exists(platform::depotSvcSocketPath()));
}

TEST_F(ServiceTest, KilledBetweenBindAndPidFileThenStartWorks) {
    ASSERT_EQ(cli({"service", "stop"}), 0);
    EXPECT_EQ(cli({"service", "start"}, "service.bound:1"), 1);
    EXPECT_TRUE(testsupport::exists(platform::depotSvcSocketPath()));
    EXPECT_EQ(CacheOpsService::runningPid(), 0);
    ASSERT_EQ(cli({"service", "start"}), 0);
    EXPECT_EQ(runInChild([] { return remoteReserve({10}); }), 0);
}

// A fake service answers crafted acknowledgements: values outside their
// bounds never reach the requester's reservation state.
TEST(RemoteAckTest, OutOfRangeAcknowledgementsAnswerMinusOne) {
    testsupport::ScratchHome home;
    struct Case {
        const char* what;
        bool reserve;
        long long status, buffer, last; // -999: field absent
        int expected;
    };
    const Case cases[] = {
        {"within bounds", true, 1, 0, 10, 1},
        {"status above int", false, 4294967297LL, -999, -999, -1},
        {"status below int", false, -2147483649LL, -999, -999, -1},
        {"status within int", false, 0, -999, -999, 0},
        {"last reserved above request", true, 1, 0, 11, -1},
        {"last reserved negative", true, 1, 0, -1, -1},
        {"last reserved absent", true, 1, 0, -999, -1},
        {"buffer above held plus requested", true, 1, -2, 10, -1},
    };
    int listener = serviceSocket(true);
    ASSERT_GE(listener, 0);
    // The buffer of "-2" is one byte over what the requester may hold.
    pid_t fake = testsupport::forkChild([&] {
        for (const Case& c : cases) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            std::string body;
            if (fd < 0 || platform::readFrame(fd, platform::kCacheOpFrameCap, 20000, body) != 0)
                return 1;
            CacheOpsAck ack;
            using namespace cacheops;
            setInt(ack, kAckClassKey, kAckErrorCode, 0);
            setInt(ack, kAckClassKey, kAckStatus, c.status);
            if (c.buffer == -2) { // held 10 blocks from the first case, asked for 10 more
                setInt(ack, kAckClassKey, kAckReserveBuffer,
                       static_cast<long long>(20 * TapeFs().getBlockSize() + 1));
            } else if (c.buffer != -999) {
                setInt(ack, kAckClassKey, kAckReserveBuffer, c.buffer);
            }
            if (c.last != -999)
                setInt(ack, kAckClassKey, kAckLastReserved, c.last);
            platform::writeFrame(fd, ack.toXml());
            close(fd);
        }
        return 0;
    });
    close(listener);
    int failed = runInChild([&] {
        TapeFs fs;
        for (const Case& c : cases) {
            int rc = c.reserve
                         ? fs.remoteReserveOnDisk(10, 0, nullptr, 0, false)
                         : fs.remoteCleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0);
            if (rc != c.expected || fs.getLastReservedBlocks() != 10) {
                std::fprintf(stderr, "%s: answered %d, last reserved %ld\n", c.what, rc,
                             fs.getLastReservedBlocks());
                return 1;
            }
        }
        return 0;
    });
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(testsupport::waitChild(fake), 0);
}
