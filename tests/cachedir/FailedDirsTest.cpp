#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using lifecycle::openForWriting;
using platform::KeyStore;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned long kTs = 1700000000;
constexpr uid_t kNobody = lifecycle::kNobody;

struct FailedDirsTest : CacheDirFixture {
    std::string appDir = root + "/2/17";

    // A closed index directory with a file below a subdirectory.
    void makeIndex(const std::string& path, const char* state = "0\n1700000100    \n") const {
        mkdirs(path + "/sub");
        if (state)
            writeFile(path + "/State", state);
        writeFile(path + "/table.dat", "rows");
        writeFile(path + "/sub/part.dat", "more rows");
    }
    // Older than the grace period given to directories without a State file.
    static void age(const std::string& path) {
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::hours(2));
    }
    // The entries of a directory, sorted.
    static std::vector<std::string> entries(const std::string& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(FailedDirsTest, RemovesTheDirectoriesNewerThanTheLastGoodOneButTheKeptOne) {
    struct Case {
        unsigned long after, kept;
        std::vector<std::string> left;
    };
    // A name past 2^31 is a time stamp like any other.
    const Case cases[] = {
        {150, 300, {"100", "300", "tmp_1"}},
        {150, 0, {"100", "tmp_1"}},
        {200, 200, {"100", "200", "tmp_1"}},
        {0, 0, {"tmp_1"}},
        {300, 0, {"100", "200", "300", "tmp_1"}},
        {150, 3000000000ul, {"100", "3000000000", "tmp_1"}},
        {3000000000ul, 0, {"100", "200", "300", "3000000000", "tmp_1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.after << "/" << c.kept);
        for (const char* t : {"100", "200", "300", "3000000000"})
            makeIndex(appDir + "/" + t);
        makeIndex(appDir + "/tmp_1");
        auto dir = make(0);
        platform::TestSink sink;
        dir->cleanFailedCachedirs(c.after, c.kept, false);
        std::vector<std::string> left = entries(appDir);
        EXPECT_EQ(left, c.left);
        for (const char* t : {"100", "200", "300"}) {
            const bool gone = std::find(left.begin(), left.end(), t) == left.end();
            EXPECT_EQ(loggedLine(sink,
                                 "cleanFailedCachedirs: discarding directory " + appDir + "/" + t +
                                     " with time stamp > " + std::to_string(c.after),
                                 1),
                      gone)
                << t;
            EXPECT_EQ(sink.hasLine("DiscardUnusable '" + appDir + "/" + t + "'"), gone) << t;
        }
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        std::filesystem::remove_all(appDir);
    }
}

TEST_F(FailedDirsTest, ADirectoryWithoutStateFileIsRemovedWhole) {
    makeIndex(appDir + "/100");
    makeIndex(appDir + "/200", nullptr);
    mkdirs(appDir + "/300");
    age(appDir + "/200");
    age(appDir + "/300");
    auto dir = make(0);
    platform::TestSink sink;
    dir->cleanFailedCachedirs(150, 0, false);
    EXPECT_EQ(entries(appDir), std::vector<std::string>{"100"});
    for (const char* t : {"200", "300"})
        EXPECT_TRUE(loggedLine(
            sink, "cannot open state file '" + appDir + "/" + t + "/State' (code 2) for cleanup",
            1));
}

TEST_F(FailedDirsTest, PermissionFailuresLeaveTheirDirectoryAndTheCleaningGoesOn) {
    const std::string d2 = appDir + "/200", d3 = appDir + "/300", d4 = appDir + "/400";
    makeIndex(d2);
    ::chmod((d2 + "/State").c_str(), 0600);
    makeIndex(d3, nullptr);
    makeIndex(d4, nullptr);
    for (const std::string& p : {d4, d4 + "/sub", d4 + "/table.dat", d4 + "/sub/part.dat"})
        ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
    ::chmod(appDir.c_str(), 0777);
    age(d3);
    age(d4);
    auto dir = make(0);
    int rc = lifecycle::runAsNobody(home.path(), [&] {
        platform::TestSink sink;
        dir->cleanFailedCachedirs(150, 0, false);
        const std::vector<std::string> lines = {
            "cannot open state file '" + d2 + "/State' (code 13) for cleanup",
            "cannot open state file '" + d3 + "/State' (code 2) for cleanup",
            "cannot remove files in " + d3 + ", code 13",
            "cleanFailedCachedirs: discarding directory " + d4 + " with time stamp > 150",
        };
        for (const std::string& l : lines) {
            if (!loggedLine(sink, l, 1))
                return 1;
        }
        return 0;
    });
    if (rc == 90)
        GTEST_SKIP() << "cannot drop privileges to nobody";
    EXPECT_EQ(rc, 0) << "a line is missing";
    EXPECT_EQ(readFile(d2 + "/sub/part.dat"), "more rows") << "its State file is not ours";
    EXPECT_EQ(readFile(d3 + "/sub/part.dat"), "more rows") << "its files are not ours";
    EXPECT_FALSE(exists(d4));
}

TEST_F(FailedDirsTest, ADirectoryAnotherProcessUsesSurvivesItsDiscard) {
    makeIndex(appDir + "/200", "3\n1700000100    \n");
    makeIndex(appDir + "/300");
    lifecycle::LockHolder writer(200, true);
    ASSERT_TRUE(writer.holding());
    auto dir = make(0);
    platform::VirtualClock clock;
    platform::TestSink sink;
    dir->cleanFailedCachedirs(150, 0, false);
    EXPECT_EQ(entries(appDir), std::vector<std::string>{"200"});
    EXPECT_EQ(readFile(appDir + "/200/State"), "3\n1700000100    \n");
    EXPECT_TRUE(clock.waits().empty()) << "only probed";
    EXPECT_EQ(writer.release(), 0);
}

TEST_F(FailedDirsTest, CachesThatAreNeverCleaned) {
    std::string jr = home.sub("jr", true);
    KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
    struct Case {
        const char* name;
        OXAppType app;
        unsigned long realm;
        const char* appId;
        TCacheTypeEnum type;
        std::string dir;
    };
    const Case cases[] = {
        {"job results", kJobResultsAppType, 2, "17", TCacheTypeTape,
         jr + "/OX_JobResults/2/17/200"},
        {"page cache", 1, 2, "17", TCacheTypePageCache, idx + "/OX_PageCache/2/17/200"},
        {"no realm, no application", 1, 0, "0", TCacheTypeTape, root + "/0/0/200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeIndex(c.dir);
        TestIndexCacheDir dir(c.app, c.realm, c.appId, 0, BackupTypeFull, 0, c.type);
        dir.initialize("client1");
        ASSERT_TRUE(dir.isInitialized());
        platform::TestSink sink;
        dir.cleanFailedCachedirs(150, 0, false);
        EXPECT_EQ(readFile(c.dir + "/sub/part.dat"), "more rows");
        EXPECT_TRUE(sink.lines().empty());
    }
}

TEST_F(FailedDirsTest, NothingToCleanWithoutACacheOrAnApplicationDirectory) {
    platform::TestSink sink;
    CacheDirProbe uninitialised(0);
    uninitialised.cleanFailedCachedirs(150, 0, false);
    EXPECT_TRUE(
        loggedLine(sink, "indexcache directory not set, skipping failed indices cleanup", 1));

    auto dir = make(0);
    dir->cleanFailedCachedirs(150, 0, false);
    EXPECT_TRUE(loggedLine(sink, "cleanFailedCachedirs:Failed to open [" + appDir + "]", 1));
}

TEST_F(FailedDirsTest, TheNetworkShareIsCleanedUnderItsTypeFolder) {
    const std::string remote = home.sub("remote", true);
    const std::string local = home.sub("local", true);
    KeyStore::set(platform::kPlatformSection, "IndexCacheDir", remote);
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    struct Case {
        TCacheTypeEnum type;
        const char* folder;
    };
    const Case cases[] = {{TCacheTypeTape, "OX_Index"},
                          {TCacheTypeContentSearch, "OX_FcsIndex"},
                          {TCacheTypeSnap, "OX_SnapMetadata"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string onShare = remote + "/" + c.folder + "/2/17";
        const std::string onLocal = local + "/" + c.folder + "/2/17";
        // The share's own last good index is 100.
        makeIndex(onShare + "/100");
        makeIndex(onShare + "/200", "3\n1700000100    \n");
        makeIndex(onLocal + "/200");
        TestIndexCacheDir dir(1, 2, "17", 0, BackupTypeFull, 0, c.type);
        dir.setUseIntermediateCache(true);
        dir.initialize("client1");
        ASSERT_EQ(dir.getRemoteCacheFs(), remote);
        platform::TestSink sink;
        dir.cleanFailedCachedirs(150, 0, true);
        EXPECT_TRUE(loggedLine(sink, "Cleaning failed indices from network share", 1));
        EXPECT_FALSE(exists(onShare + "/200"));
        EXPECT_TRUE(exists(onLocal + "/200")) << "the local cache is not the share";

        makeIndex(onShare + "/200");
        dir.cleanFailedCachedirs_ci(150, 0);
        EXPECT_FALSE(exists(onLocal + "/200"));
        EXPECT_TRUE(exists(onShare + "/200")) << "the _ci form cleans the local cache";
    }

    // Without a share, or in the catalog-server form, there is nothing to do.
    for (bool catalog : {false, true}) {
        const std::string onShare = remote + "/OX_Index/2/17/300";
        makeIndex(onShare);
        TestIndexCacheDir dir(1, 2, "17", 0, BackupTypeFull, 0);
        dir.setCatalogServerCache(catalog);
        dir.setUseIntermediateCache(catalog);
        dir.initialize("client1");
        platform::TestSink sink;
        dir.cleanFailedCachedirs(150, 0, true);
        EXPECT_TRUE(exists(onShare));
        EXPECT_FALSE(sink.hasLine("network share"));
    }
}

TEST_F(FailedDirsTest, TheLocalFormIsCalledVirtually) {
    struct Recorder : CacheDirProbe {
        Recorder() : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(0) {}
        void cleanFailedCachedirs(unsigned long after, unsigned long kept, bool share) override {
            calls.emplace_back(after, kept, share);
        }
        std::vector<std::tuple<unsigned long, unsigned long, bool>> calls;
    };
    Recorder dir;
    dir.cleanFailedCachedirs_ci(150, 300);
    EXPECT_EQ(dir.calls,
              (std::vector<std::tuple<unsigned long, unsigned long, bool>>{{150, 300, false}}));
}

struct RemoveCorruptIndexTest : FailedDirsTest {
    std::string logPath = home.path() + "/cleanup.log";
    CXFile cleanupLog;
    void SetUp() override {
        FailedDirsTest::SetUp();
        ASSERT_EQ(cleanupLog.open(logPath.c_str(), sfOpenCreate, 0, 0666), 0);
    }
};

TEST_F(RemoveCorruptIndexTest, RemovesTheObjectsOwnDirectory) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<CacheDirProbe>()> setUp;
        int result;
        const char* line; // with the path for %s
    };
    const Case cases[] = {
        {"closed index",
         [&] {
             makeIndex(dirPath(kTs));
             return make(kTs);
         },
         0, "removeCorruptIndex : discarding corrupt directory %s"},
        {"no State file",
         [&] {
             makeIndex(dirPath(kTs), nullptr);
             return make(kTs);
         },
         0, "cannot open state file '%s/State' (code 2) for cleanup"},
        {"the writer's own index",
         [&] {
             auto dir = openForWriting(*this, kTs);
             writeFile(dirPath(kTs) + "/table.dat", "rows");
             return dir;
         },
         0, "removeCorruptIndex : discarding corrupt directory %s"},
        {"no cache directory", [&] { return make(0); }, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto dir = c.setUp();
        ASSERT_TRUE(dir);
        platform::TestSink sink;
        EXPECT_EQ(dir->removeCorruptIndex(), c.result);
        if (c.line) {
            std::string line = c.line;
            line.replace(line.find("%s"), 2, dirPath(kTs));
            EXPECT_TRUE(loggedLine(sink, line, 1)) << line;
        }
        EXPECT_FALSE(exists(dirPath(kTs)));
        EXPECT_TRUE(exists(appDir));
        EXPECT_FALSE(dir->stateFile().isOpened());
    }
}

TEST_F(RemoveCorruptIndexTest, ADirectoryInUseElsewhereReportsTheDiscardsFailure) {
    makeIndex(dirPath(kTs), "2\n1700000100    \n");
    lifecycle::LockHolder reader(kTs, false);
    ASSERT_TRUE(reader.holding());
    auto dir = make(kTs);
    platform::VirtualClock clock;
    EXPECT_EQ(dir->removeCorruptIndex(), -1);
    EXPECT_EQ(readFile(dirPath(kTs) + "/sub/part.dat"), "more rows");
    EXPECT_FALSE(dir->stateFile().isOpened());
    EXPECT_EQ(reader.release(), 0);
}

TEST_F(RemoveCorruptIndexTest, PermissionFailuresReportOneAndLeaveTheDirectory) {
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> layout;
        std::vector<std::string> lines;
        std::string cleanupLine; // without the path prefix
    };
    const std::string d = dirPath(kTs);
    const std::string local = "OX_Index/2/17/" + std::to_string(kTs) + ",";
    const Case cases[] = {
        {"State file unreadable",
         [](const std::string& dir) { ::chmod((dir + "/State").c_str(), 0600); },
         {"cannot open state file '" + d + "/State' (code 13) for cleanup"},
         ""},
        {"no State file, files not removable",
         [](const std::string& dir) { ::unlink((dir + "/State").c_str()); },
         {"cannot remove files in " + d + ", code 13"},
         local + "234881277,Cache directory could not be removed\n"},
        {"no State file, directory not listable",
         [](const std::string& dir) {
             ::unlink((dir + "/State").c_str());
             ::chmod(dir.c_str(), 0711);
         },
         {"cannot open dir " + d + ", code 13"},
         local + "234881276,Cache directory could not be opened for removal\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeIndex(d);
        c.layout(d);
        ASSERT_EQ(cleanupLog.truncate(), 0);
        auto dir = make(kTs);
        dir->setCleanupLogFile(&cleanupLog);
        int rc = lifecycle::runAsNobody(home.path(), [&] {
            platform::TestSink sink;
            if (dir->removeCorruptIndex() != 1)
                return 1;
            for (const std::string& l : c.lines) {
                if (!loggedLine(sink, l, 1))
                    return 2;
            }
            return 0;
        });
        if (rc == 90)
            GTEST_SKIP() << "cannot drop privileges to nobody";
        EXPECT_EQ(rc, 0) << (rc == 1 ? "wrong result" : "a line is missing");
        EXPECT_EQ(readFile(logPath), c.cleanupLine);
        ::chmod(d.c_str(), 0755);
        EXPECT_EQ(readFile(d + "/sub/part.dat"), "more rows");
        std::filesystem::remove_all(d);
    }
}

TEST_F(FailedDirsTest, PreserveFailedCacheCopiesOnlyWhenTheDepotAsksForIt) {
    struct Case {
        const char* key; // "nPRESERVEFAILEDICD", or null for absent
        const char* suffix;
        const char* target; // suffix of the copy, or null for none
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr},
        {"0", nullptr, nullptr},
        {"1", nullptr, "_preservedAfterFailed"},
        {"1", ".kept", ".kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key ? c.key : "absent");
        if (c.key)
            KeyStore::set("~Depot", "nPRESERVEFAILEDICD", c.key);
        makeIndex(dirPath(kTs), "3\n1700000100    \n");
        auto dir = make(kTs);
        platform::TestSink sink;
        dir->preserveFailedCache(c.suffix);
        std::vector<std::string> expected = {std::to_string(kTs)};
        if (c.target) {
            const std::string copy = dirPath(kTs) + c.target;
            expected.push_back(std::to_string(kTs) + c.target);
            EXPECT_EQ(readFile(copy + "/State"), "3\n1700000100    \n");
            EXPECT_EQ(readFile(copy + "/sub/part.dat"), "more rows");
            EXPECT_TRUE(loggedLine(sink,
                                   "preserveFailedCache: Files were copied from '" + dirPath(kTs) +
                                       "' to '" + copy + "' with result=0",
                                   1));
        } else {
            EXPECT_TRUE(sink.lines().empty());
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries(appDir), expected);
        EXPECT_STREQ(dir->getCacheDir(), dirPath(kTs).c_str());
        std::filesystem::remove_all(appDir);
    }
}

TEST_F(FailedDirsTest, PreserveFailedCacheFailures) {
    KeyStore::set("~Depot", "nPRESERVEFAILEDICD", "1");
    auto none = make(0);
    platform::TestSink sink;
    none->preserveFailedCache(nullptr);
    EXPECT_TRUE(sink.lines().empty()) << "no cache directory, nothing to keep";

    makeIndex(dirPath(kTs));
    auto dir = make(kTs);
    dir->preserveFailedCache("/no/such");
    EXPECT_TRUE(loggedLine(
        sink, "preserveFailedCache: cannot mkdir " + dirPath(kTs) + "/no/such (errno 2)", 1));

    // A copy that already exists is copied into again.
    mkdirs(dirPath(kTs) + "_again");
    writeFile(dirPath(kTs) + "_again/older", "x");
    dir->preserveFailedCache("_again");
    EXPECT_EQ(readFile(dirPath(kTs) + "_again/table.dat"), "rows");
    EXPECT_EQ(readFile(dirPath(kTs) + "_again/older"), "x");

    auto missing = make(kTs + 1);
    missing->preserveFailedCache(nullptr);
    EXPECT_TRUE(loggedLine(sink,
                           "preserveFailedCache: Failed to preserve failed ICD '" +
                               dirPath(kTs + 1) + "' to '" + dirPath(kTs + 1) +
                               "_preservedAfterFailed' with result=-1",
                           1));
}

TEST_F(FailedDirsTest, LogEventAppendsOneLinePerEventToTheHostsFile) {
    const std::string logPath = home.path() + "/cleanup.log";
    writeFile(logPath, "host header\n");
    CXFile log;
    ASSERT_EQ(log.open(logPath.c_str(), sfOpenCreate, 0, 0), 0);

    auto dir = make(kTs);
    dir->logEvent(0x0E0000FB);
    EXPECT_EQ(readFile(logPath), "host header\n") << "no file set: nothing written";

    dir->setCleanupLogFile(&log);
    dir->logEvent(0x0E0000FB);
    dir->logEvent(0x0E000031); // no clean-up text: no line
    dir->logEvent(0x0E0000FD);
    auto noPath = make(0);
    noPath->setCleanupLogFile(&log);
    noPath->logEvent(0x0E0000FC);
    noPath->usePath("");
    noPath->logEvent(0x0E0000FC);

    TestIndexCacheDir catalog(1, 2, "17", 0, BackupTypeFull, kTs);
    catalog.setCatalogServerCache(true);
    catalog.initialize("client1");
    catalog.setCleanupLogFile(&log);
    catalog.logEvent(0x0E0000FC);

    const std::string local = "OX_Index/2/17/" + std::to_string(kTs);
    EXPECT_EQ(readFile(logPath),
              "host header\n" + local +
                  ",234881275,Cache directory is in use by another process and was not removed\n" +
                  local + ",234881277,Cache directory could not be removed\n" + "CatalogServer/" +
                  local + ",234881276,Cache directory could not be opened for removal\n");
}

} // namespace
