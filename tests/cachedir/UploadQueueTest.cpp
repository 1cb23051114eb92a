#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <vector>

#include "cachedir/IndexCacheDirMainTranLogHelper.h"
#include "cachedir/TestIndexCacheDir.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;

namespace {

constexpr unsigned long kTimeStamp = 1700000000;
constexpr const char* kMachineSection = "~Machines\\client1";

// A test cache directory whose path a test may point anywhere.
class QueueDir : public TestIndexCacheDir {
public:
    explicit QueueDir(unsigned long timeStamp = kTimeStamp)
        : CacheFsBase(1, TCacheTypeTape, false),
          TestIndexCacheDir(1, 2, "scp_7_9", 4242, BackupTypeFull, timeStamp) {}
    using IndexCacheDirBase::setCacheDirPath;
};

struct UploadQueueTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string queueFolder = idx + "/CatalogServer/sync_up_queue/";

    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        // The share notice is a level-3 line.
        KeyStore::set(kPlatformSection, "DebugLevel", "3");
    }
    static void setKey(const char* section, const char* key, int value) {
        if (value < 0)
            KeyStore::remove(section, key);
        else
            KeyStore::set(section, key, std::to_string(value));
    }
    static void useIndexServer() {
        setKey("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", 4);
        setKey(kMachineSection, "nTRANLOGCATALOGSERVERENABLED", 1);
    }
    static void initialize(QueueDir& dir) {
        ASSERT_EQ(dir.preInitResult, 0);
        dir.initialize("client1");
        ASSERT_NE(dir.getCacheDir(), nullptr);
    }
    std::string expectedPath(unsigned long timeStamp = kTimeStamp) const {
        return idx + "/OX_Index/2/scp_7_9/" + std::to_string(timeStamp);
    }
    std::string journal() const { return idx + "/TL_RST.upload_00001"; }
    static std::string record(const std::string& payload) {
        char header[32];
        std::snprintf(header, sizeof header, "NA,%16x,", static_cast<unsigned>(payload.size()));
        return header + payload;
    }
    static std::vector<std::string> linesOf(const platform::TestSink& sink) {
        std::vector<std::string> out;
        for (const auto& l : sink.lines())
            out.push_back(std::to_string(l.level) + " " + l.text);
        return out;
    }
};

TEST_F(UploadQueueTest, JournalRecordOnlyForIndexServerDirectoriesWithALocalPath) {
    struct Case {
        const char* name;
        int options;      // task options key; -1: absent
        int enabled;      // the client's index server key; -1: absent
        int setFlag;      // -1: the object keeps what it loaded
        const char* path; // null: the directory's own path
        bool initialize;
        bool appended;
        const char* line;
    };
    const char* const unc =
        "3 TESTICD: UNC path is not supported for IndexCacheServer. Skip upload.";
    const Case cases[] = {
        {"client uses the index server", -1, 1, -1, nullptr, true, true, nullptr},
        {"and the task option", 4, 1, -1, nullptr, true, true, nullptr},
        {"task option alone", 4, -1, -1, nullptr, true, false, nullptr},
        {"client key off", 4, 0, -1, nullptr, true, false, nullptr},
        {"option turned off on the object", 4, 1, 0, nullptr, true, false, nullptr},
        {"option turned on, client off", -1, 0, 1, nullptr, true, false, nullptr},
        {"no path yet", 4, 1, -1, nullptr, false, false, nullptr},
        {"backslash share", 4, 1, -1, "\\\\server\\share\\OX_Index\\2\\scp_7_9\\1700000000", true,
         false, unc},
        {"slash share", 4, 1, -1, "//server/share/OX_Index/2/scp_7_9/1700000000", true, false, unc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(journal().c_str());
        setKey("~Depot", "nTRANLOGCATALOGSERVERDEFAULTTASKOPTIONS", c.options);
        setKey(kMachineSection, "nTRANLOGCATALOGSERVERENABLED", c.enabled);
        QueueDir dir;
        if (c.initialize)
            initialize(dir);
        if (c.setFlag >= 0)
            dir.setIndexUseCatalogServerIfAvailFlag(c.setFlag == 1);
        if (c.path)
            dir.setCacheDirPath(c.path);
        platform::TestSink sink;
        EXPECT_EQ(dir.appendRecordToChunkUploadQueue("chunk 1 of /a/b"), 0);
        if (c.appended) {
            EXPECT_EQ(testsupport::readFile(journal()), record("chunk 1 of /a/b"));
        } else {
            EXPECT_FALSE(testsupport::exists(journal()));
        }
        std::vector<std::string> expected;
        if (c.line)
            expected.push_back(c.line);
        EXPECT_EQ(linesOf(sink), expected);
    }
    EXPECT_EQ(::rmdir("\\\\server\\share"), -1) << "no folder made for a share path";
}

TEST_F(UploadQueueTest, JournalFailureIsReportedWithTheHelpersDescription) {
    useIndexServer();
    QueueDir dir;
    initialize(dir);
    const std::string missing = home.path() + "/gone";
    dir.setCacheDirPath((missing + "/OX_Index/2/scp_7_9/1").c_str());
    platform::TestSink sink;
    EXPECT_EQ(dir.appendRecordToChunkUploadQueue("r"), -1);
    EXPECT_EQ(linesOf(sink),
              std::vector<std::string>{
                  "1 TESTICD: Failed to append string to TranLog upload queue with error "
                  "'IndexCacheDirMainTranLogHelper: Failed to open folder '" +
                  missing + "' with error=2; FileError=No such file or directory'"});
}

TEST_F(UploadQueueTest, JournalRecordNotWrittenWhileAnotherProcessHoldsTheMutex) {
    useIndexServer();
    testsupport::ProcessSignal held, release;
    const pid_t holder = testsupport::forkChild([&] {
        IndexCacheDirMainTranLogHelper helper(nullptr);
        if (!helper.lock())
            return 10;
        held.post();
        if (!release.wait())
            return 11;
        helper.unlock();
        return 0;
    });
    ASSERT_TRUE(held.wait());
    QueueDir dir;
    initialize(dir);
    {
        platform::VirtualClock clock;
        platform::TestSink sink;
        EXPECT_EQ(dir.appendRecordToChunkUploadQueue("r"), -1);
        const std::vector<unsigned long> waits = clock.waits();
        EXPECT_EQ(std::accumulate(waits.begin(), waits.end(), 0ul), 30000ul);
        EXPECT_TRUE(sink.hasLine("Failed to lock mutex TranLog_mutex within 30000 ms"));
        EXPECT_FALSE(testsupport::exists(journal()));
    }
    release.post();
    EXPECT_EQ(testsupport::waitChild(holder), 0);
    EXPECT_EQ(dir.appendRecordToChunkUploadQueue("r"), 0);
    EXPECT_EQ(testsupport::readFile(journal()), record("r"));
}

TEST_F(UploadQueueTest, SyncUpQueueEntryNamedAfterThePathBelowTheRoot) {
    for (const bool trailingSeparator : {false, true}) {
        SCOPED_TRACE(trailingSeparator);
        testsupport::ScratchHome scratch;
        idx = scratch.sub("idx", true);
        KeyStore::set(kPlatformSection, "IndexCacheDir", trailingSeparator ? idx + "/" : idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        QueueDir dir;
        initialize(dir);
        ASSERT_EQ(std::string(dir.getCacheDir()), expectedPath());
        platform::VirtualClock clock;
        EXPECT_EQ(dir.queueForUpload(), 0);
        const std::string entry =
            idx + "/CatalogServer/sync_up_queue/OX_Index_2_scp_7_9_1700000000";
        EXPECT_EQ(testsupport::readFile(entry), expectedPath()) << "the full path, no line end";
        struct stat st;
        ASSERT_EQ(::stat((idx + "/CatalogServer/sync_up_queue").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_TRUE(clock.waits().empty());
    }
}

TEST_F(UploadQueueTest, SyncUpQueueEntryNames) {
    struct Case {
        std::string path;
        std::string entry;
    };
    const Case cases[] = {
        {idx + "/CatalogServer/OX_FcsIndex/2/7/1", "CatalogServer_OX_FcsIndex_2_7_1"},
        {idx + "/OX_Index\\2\\a\\1", "OX_Index_2_a_1"},
        // Outside the root the whole path names the entry.
        {home.path() + "/local/OX_Index/2/a/1", home.path() + "/local/OX_Index/2/a/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        QueueDir dir;
        initialize(dir);
        dir.setCacheDirPath(c.path.c_str());
        EXPECT_EQ(dir.queueForUpload(), 0);
        std::string name = c.entry;
        for (char& ch : name)
            if (ch == '/')
                ch = '_';
        EXPECT_EQ(testsupport::readFile(queueFolder + name), c.path);
    }
}

TEST_F(UploadQueueTest, SecondQueueingLeavesTheFirstEntryAlone) {
    QueueDir dir;
    initialize(dir);
    ASSERT_EQ(dir.queueForUpload(), 0);
    const std::string entry = queueFolder + "OX_Index_2_scp_7_9_1700000000";
    // Mark the entry so that a rewrite would show.
    testsupport::writeFile(entry, "first");
    QueueDir again;
    initialize(again);
    platform::VirtualClock clock;
    platform::TestSink sink;
    EXPECT_EQ(again.queueForUpload(), 0);
    EXPECT_EQ(testsupport::readFile(entry), "first");
    EXPECT_TRUE(clock.waits().empty()) << "an existing entry is no reason to retry";
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(UploadQueueTest, TwoProcessesQueueingOneDirectoryLeaveOneWholeEntry) {
    for (unsigned long round = 0; round < 10; ++round) {
        const unsigned long timeStamp = kTimeStamp + round;
        testsupport::ProcessSignal start;
        std::vector<pid_t> children;
        for (int i = 0; i < 2; ++i) {
            children.push_back(testsupport::forkChild([&] {
                QueueDir dir(timeStamp);
                dir.initialize("client1");
                if (!dir.getCacheDir())
                    return 10;
                if (!start.wait())
                    return 11;
                // No real second-long sleeps if a writer ever retried.
                platform::VirtualClock clock;
                return dir.queueForUpload() == 0 ? 0 : 12;
            }));
        }
        start.post();
        start.post();
        for (pid_t pid : children)
            EXPECT_EQ(testsupport::waitChild(pid), 0) << round;
        EXPECT_EQ(
            testsupport::readFile(queueFolder + "OX_Index_2_scp_7_9_" + std::to_string(timeStamp)),
            expectedPath(timeStamp));
    }
}

TEST_F(UploadQueueTest, EntryThatCannotBeCreatedIsRetriedTenTimes) {
    // A file where the queue folder should be.
    testsupport::writeFile(idx + "/CatalogServer", "");
    QueueDir dir;
    initialize(dir);
    platform::VirtualClock clock;
    platform::TestSink sink;
    EXPECT_EQ(dir.queueForUpload(), -1);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(10, 1000));
    EXPECT_EQ(linesOf(sink), std::vector<std::string>{"1 TESTICD: Unable to create queue file for "
                                                      "upload. File open failed with error [20]"});
}

TEST_F(UploadQueueTest, FailedWriteRemovesTheEntry) {
    QueueDir dir;
    initialize(dir);
    const std::string entry = queueFolder + "OX_Index_2_scp_7_9_1700000000";
    const int rc = testsupport::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 0;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 10;
        platform::TestSink sink;
        if (dir.queueForUpload() != -1)
            return 11;
        const auto lines = linesOf(sink);
        if (lines != std::vector<std::string>{"1 TESTICD: Unable to write into queue file created "
                                              "for upload. Write returned [-1], file write failed "
                                              "with error [" +
                                              std::to_string(EFBIG) + "]"})
            return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(testsupport::exists(entry)) << "no entry with a cut path is left";
    EXPECT_TRUE(testsupport::exists(queueFolder));
}

TEST_F(UploadQueueTest, NothingQueuedWithoutAPathOrAnIndexCacheRoot) {
    {
        QueueDir dir;
        platform::TestSink sink;
        EXPECT_EQ(dir.queueForUpload(), -1);
        EXPECT_EQ(linesOf(sink), std::vector<std::string>{"1 TESTICD: Unable to queue for "
                                                          "upload: the cache directory has no "
                                                          "path"});
    }
    {
        QueueDir dir;
        initialize(dir);
        // The platform stops answering for the index cache directory.
        KeyStore::set(kPlatformSection, "IndexCacheDir", "-");
        platform::TestSink sink;
        EXPECT_EQ(dir.queueForUpload(), -1);
        EXPECT_EQ(linesOf(sink), std::vector<std::string>{"1 TESTICD: Unable to queue for "
                                                          "upload: no index cache directory for "
                                                          "client [client1]"});
    }
    EXPECT_FALSE(testsupport::exists(idx + "/CatalogServer"));
}

} // namespace
