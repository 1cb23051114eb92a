#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <thread>

#include "jobresults/PagingResultsDir.h"
#include "jobresults/ResultsBase.h"
#include "jobresults/ResultsSupport.h"
#include "platform/Env.h"

using platform::KeyStore;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr time_t kNow = 1700000000;

// Sets a file's modification time (seconds, then nanoseconds).
void setMtime(const std::string& path, time_t seconds, long ns = 0) {
    struct timespec times[2] = {{seconds, ns}, {seconds, ns}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct PagingTest : ResultsTest {
    std::string t(const std::string& name) const { return tmp + "/" + name; }
};

TEST_F(PagingTest, SweepRemovesPagingFilesLibraryMapsAndExtractedLogsOlderThanADay) {
    platform::VirtualClock clock(kNow);
    struct Case {
        std::string name;
        long age;
        bool kept;
    };
    const Case cases[] = {
        {"PagingFile_Job_1_a.bkp", 2 * 86400, false},
        {"PagingFile_Job_1_a.bkp.map", 3600, true},
        {"PagingFile_Job_1_b.bkp", 86400, true},
        {"notes.txt", 2 * 86400, true},
        {"list.txt.map", 2 * 86400, false}, // made for a caller's path
        {"other.map", 2 * 86400, true},     // not made by the library
        {"VIEWLOGSEXTRACTFOLDER/old.log", 2 * 86400, false},
        {"VIEWLOGSEXTRACTFOLDER/new.log", 60, true},
    };
    ::mkdir(t("VIEWLOGSEXTRACTFOLDER").c_str(), 0777);
    for (const Case& c : cases)
        writeFile(t(c.name), "x\n");
    {
        ResultsBase reader(1, "client1");
        ASSERT_TRUE(
            reader.setFileName(RF_GIVEN_KEPT, 0, (home.path() + "/list.txt").c_str(), "client1"));
        EXPECT_EQ(std::string(reader.getMapName()), t("list.txt.map"));
    }
    for (const Case& c : cases)
        setMtime(t(c.name), kNow - c.age);
    ResultsBase sweeper(1, "client1");
    for (const Case& c : cases)
        EXPECT_EQ(exists(t(c.name)), c.kept) << c.name;
    EXPECT_EQ(readFile(t(PagingResultsDir::kMapLedger)), "");
}

TEST_F(PagingTest, SearchFindsThisJobsFileAndDropsOnlyAMapOlderThanItsData) {
    platform::VirtualClock clock(kNow);
    struct Case {
        unsigned fileNumber;
        std::vector<std::string> names;
        const char* found; // null: none
        long mapAge;       // seconds the map is older than the last name (the data)
        bool mapKept;
    };
    const std::string data = "PagingFile_Job_42_x.bkp";
    const Case cases[] = {
        {0, {data}, "PagingFile_Job_42_x.bkp", 5, false},
        {0, {data}, "PagingFile_Job_42_x.bkp", -5, true},
        {0, {data}, "PagingFile_Job_42_x.bkp", 0, true},
        {3, {data, "PagingFile_Job_42_3_y.bkp"}, "PagingFile_Job_42_3_y.bkp", 0, true},
        {0, {"PagingFile_Job_4_x.bkp", "PagingFile_Job_42_x.log"}, nullptr, 0, true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(std::system(("rm -rf " + tmp + " && mkdir " + tmp).c_str()), 0);
        for (const std::string& n : c.names) {
            writeFile(t(n), "x\n");
            setMtime(t(n), kNow);
        }
        writeFile(t(data + ".map"), "");
        setMtime(t(data + ".map"), kNow - c.mapAge);
        ResultsBase reader(42, "client1");
        std::string found;
        EXPECT_EQ(reader.isFileExist(RF_PAGING_BKP, c.fileNumber, found, "client1"),
                  c.found != nullptr);
        EXPECT_EQ(found, c.found ? t(c.found) : "");
        if (c.found && c.fileNumber == 0) {
            EXPECT_EQ(exists(t(data + ".map")), c.mapKept) << c.mapAge;
        }
    }
}

TEST_F(PagingTest, NamesMapsAndConfinesRequesterPaths) {
    ResultsBase reader(42, "client1");
    writeFile(t("PagingFile_Job_42_a.bkp"), "x\n");
    struct Case {
        ResultsFile kind;
        unsigned fileNumber;
        std::string path;
        const char* map; // null: refused
    };
    const Case cases[] = {
        {RF_GIVEN_KEPT, 0, "/a/b/list.txt", "/list.txt.map"},
        {RF_GIVEN, 4, "/a/b/OrphanFilesList.oxf", "/OrphanFilesList.oxf_4.map"},
        {RF_PAGING_BKP, 0, t("PagingFile_Job_42_a.bkp"), "/PagingFile_Job_42_a.bkp.map"},
        {RF_PAGING_BKP, 0, "/etc/PagingFile_Job_42_a.bkp", nullptr},
        {RF_PAGING_BKP, 0, t("other.bkp"), nullptr},
        {RF_PAGING_LOG, 0, t("PagingFile_Job_42_a.bkp"), nullptr},
        {RF_GIVEN, 0, "no-slash", nullptr},
        {RF_GIVEN, 0, "/" + std::string(1100, 'p'), nullptr},
        {RF_NONE, 0, "/a/b", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reader.setFileName(c.kind, c.fileNumber, c.path.c_str(), "client1"),
                  c.map != nullptr)
            << c.path.substr(0, 40);
        EXPECT_EQ(reader.getMapName() ? std::string(reader.getMapName()) : "",
                  c.map ? tmp + c.map : "");
    }
    // A link planted where a map belongs is not written through.
    const std::string victim = home.sub("victim");
    writeFile(victim, "keep");
    ASSERT_EQ(::symlink(victim.c_str(), t("PagingFile_Job_42_a.bkp.map").c_str()), 0);
    ASSERT_TRUE(
        reader.setFileName(RF_PAGING_BKP, 0, t("PagingFile_Job_42_a.bkp").c_str(), "client1"));
    EXPECT_EQ(reader.generateMap(), 1);
    EXPECT_EQ(readFile(victim), "keep");
}

TEST_F(PagingTest, ExtractsACompressedLogOnceAndAgainWhenTheLogIsNewer) {
    platform::VirtualClock clock(kNow);
    const std::string log = home.sub("logs", true) + "/job.log";
    writeFile(log, "one\ntwo\n");
    ASSERT_EQ(std::system(("bzip2 -k " + log).c_str()), 0);
    const std::string extracted = t("VIEWLOGSEXTRACTFOLDER/job.log");
    {
        ResultsBase reader(42, "client1");
        ASSERT_TRUE(reader.setFileName(RF_VIEW_LOG, 0, (log + ".bz2").c_str(), "client1"));
        EXPECT_EQ(std::string(reader.getFileName()), extracted);
        EXPECT_EQ(std::string(reader.getMapName()), t("job.log.bz2.map"));
        ASSERT_EQ(reader.generateMap(), 0);
        EXPECT_EQ(mapOffsets(reader.getMapName()), (std::vector<uint64_t>{0, 4}));
    }
    EXPECT_EQ(readFile(extracted), "one\ntwo\n");
    writeFile(extracted, "reused\n");
    setMtime(log + ".bz2", kNow);
    setMtime(extracted, kNow, 1);
    ResultsBase reader(42, "client1");
    ASSERT_TRUE(reader.setFileName(RF_VIEW_LOG, 0, (log + ".bz2").c_str(), "client1"));
    EXPECT_EQ(readFile(extracted), "reused\n");
    setMtime(extracted, kNow - 1);
    ASSERT_TRUE(reader.setFileName(RF_VIEW_LOG, 0, (log + ".bz2").c_str(), "client1"));
    EXPECT_EQ(readFile(extracted), "one\ntwo\n");
    // Past the size cap: nothing is left behind, not even a partial copy.
    ::unlink(extracted.c_str());
    KeyStore::set(platform::kPlatformSection, "ExtractLimit", "4");
    EXPECT_EQ(testsupport::runInChild([&] {
                  ResultsBase fresh(42, "client1");
                  return fresh.setFileName(RF_VIEW_LOG, 0, (log + ".bz2").c_str(), "client1") ? 1
                                                                                              : 0;
              }),
              0);
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + t("VIEWLOGSEXTRACTFOLDER") + ")\"").c_str()), 0);
}

TEST_F(PagingTest, TempDirFollowsThePlatformKindInABufferPerThread) {
    struct Case {
        const char* type;
        const char* client;
        std::string dir;
    };
    const Case cases[] = {{"4", "client1", tmp},
                          {"2", "", tmp},
                          {"2", "client1", home.sub("idx")},
                          {"1", "client1", jr}};
    for (const Case& c : cases) {
        KeyStore::set(platform::kPlatformSection, "PlatformType", c.type);
        const char* dir = getOrbitTempDir(c.client);
        EXPECT_EQ(dir ? std::string(dir) : "", c.dir) << c.type;
    }
    const char* mine = getOrbitTempDir("client1");
    const char* other = nullptr;
    std::thread([&] { other = getOrbitTempDir("client1"); }).join();
    EXPECT_NE(mine, other);
    EXPECT_EQ(std::string(mine), jr);
}

} // namespace
