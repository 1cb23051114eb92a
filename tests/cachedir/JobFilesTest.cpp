// The job id file and the job status files: their contents, and the hostile
// lines and paths a reader must refuse.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "cachedir/TestIndexCacheDir.h"
#include "platform/Env.h"
#include "platform/OXClient.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr long long kJob = 12345;

struct JobFilesTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string root = idx + "/OX_Index";
    std::string cacheDir = root + "/2/scp_7_9/1700000000";
    platform::VirtualClock clock;
    std::unique_ptr<TestIndexCacheDir> icd;

    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        icd =
            std::make_unique<TestIndexCacheDir>(1, 2, "scp_7_9", kJob, BackupTypeFull, 1700000000);
        icd->initialize("client1");
        ASSERT_EQ(recursiveMkdir(cacheDir.c_str(), 0755), 0);
    }
};

TEST_F(JobFilesTest, ReadJobIdFileBothFormsAndEveryRejectedLine) {
    const std::string file = cacheDir + "/JobId";
    struct Case {
        std::string content;
        long long id; // 0: rejected
        unsigned int phase, attempt, counter;
        std::string host;
    } cases[] = {
        {"12345:2:1:3 dp1\r\n", 12345, 2, 1, 3, "dp1"},
        {"12345:2:1:3 dp1", 12345, 2, 1, 3, "dp1"},
        {"12345:2:1:3 my dp host\nsecond line\n", 12345, 2, 1, 3, "my dp host"},
        {"12345:2:1:3 \n", 12345, 2, 1, 3, ""},
        {"12345 dp1\r\n", 12345, 0, 0, 0, "dp1"},
        // fgets stops at 2047 characters: the host is cut, not overflowed.
        {"1:2:3:4 " + std::string(3000, 'h') + "\n", 1, 2, 3, 4, std::string(2047 - 8, 'h')},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const char* rejected :
         {"12345:2 \n", "12345:2:1 dp1\n", "12345:2:1:3\n", "12345\n", "job:2:1:3 dp1\n",
          "12345:two:1:3 dp1\n", "12345:2::3 dp1\n", "12345:2:1:x dp1\n", "job dp1\n", ""})
        all.push_back({rejected, 0, 0, 0, 0, ""});
    for (const Case& c : all) {
        writeFile(file, c.content);
        long long id = -1;
        std::string host = "stale";
        unsigned int phase = 99, attempt = 99, counter = 99;
        EXPECT_EQ(icd->readJobIdFile(&id, &host, &phase, &attempt, &counter), c.id ? 1 : 0)
            << c.content.substr(0, 40);
        EXPECT_EQ(std::make_tuple(id, phase, attempt, counter, host),
                  std::make_tuple(c.id, c.phase, c.attempt, c.counter, c.host))
            << c.content.substr(0, 40);
    }
    // Null pointers are skipped (host) or go to the object.
    writeFile(file, "777:4:5:6 dp9\n");
    long long id = 0;
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(id, 777);
    EXPECT_EQ(icd->getJobPhaseNumber(), 4u);
    EXPECT_EQ(icd->getJobIndexWriteCounter(), 6u);
    EXPECT_EQ(icd->getJobId(), kJob);
    ::unlink(file.c_str());
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(JobFilesTest, StatusFileContentPerActionAndPreviousBackupTime) {
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    EXPECT_EQ(path, root + "/RunningJobs/12345.txt");
    const std::string line1 = "OX_Index/2/scp_7_9/1700000000\n";
    const std::vector<std::tuple<int, unsigned long, std::string>> cases = {
        {JobStatusCI, 0, line1 + "CI\n"},
        {JobStatusCI, 1700000000, line1 + "CI\nprevBackupTime=1700000000\n"},
        {JobStatusNA, 0, line1 + "NA\n"},
        {JobStatusUI, 5, line1 + "UI\nprevBackupTime=5\n"},
        {JobStatusCF, 0, line1 + "CF\n"},
        {JobStatusAI, 4294967295UL, line1 + "AI\nprevBackupTime=4294967295\n"},
        {5, 0, line1 + "NA\n"},
        {-1, 0, line1 + "NA\n"},
    };
    for (const auto& [action, prev, content] : cases) {
        writeFile(path, std::string(300, 'z') + "\n"); // no tail of a longer old file stays
        EXPECT_EQ(IndexCacheDirBase::createJobStatusFile(
                      icd->getCacheDir(), kJob, path, static_cast<EJobStatusFileLastAction>(action),
                      prev, icd.get()),
                  0);
        EXPECT_EQ(readFile(path), content) << action;
        EXPECT_EQ(readFile(cacheDir + "/12345.txt.JobStatus"), content) << action;
    }
    std::string localPath;
    EJobStatusFileLastAction action;
    unsigned long prev = 0;
    ASSERT_EQ(icd->readJobStatusFile(localPath, action, prev), 0);
    EXPECT_EQ(localPath, "OX_Index/2/scp_7_9/1700000000");
    EXPECT_EQ(action, JobStatusNA);
}

TEST_F(JobFilesTest, ParseLocalPathRefusesWhatLeadsOutOfTheCacheRoot) {
    for (const auto& [path, realm, app, stamp] :
         std::vector<std::tuple<std::string, unsigned long, std::string, unsigned long>>{
             {"OX_Index/2/scp_7_9/1700000000", 2, "scp_7_9", 1700000000},
             {"OX_Index\\2\\7\\1700000000", 2, "7", 1700000000},
             {"OX_FcsIndex/15/12/4294967295", 15, "12", 4294967295UL}}) {
        unsigned long r = 9, s = 9;
        std::string a = "stale";
        EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(path, r, a, s), 0) << path;
        EXPECT_EQ(std::make_tuple(r, a, s), std::make_tuple(realm, app, stamp)) << path;
    }
    for (const std::string path :
         {"no separators at all", "", "a/b/c", "OX_Index/2/7/", "OX_Index/2//1700000000",
          "OX_Index/2/7/17x", "OX_Index/-2/7/1700000000", "OX_Index/2/7/+1700000000",
          "OX_Index/2/7/99999999999999999999999", "OX_Index/2/name/1700000000",
          "OX_Index/2/../../etc/1", "OX_Index/2/1/../../../etc/1", "OX_Index/2/scp_7_9/../../1",
          "OX_Index/2/./1", "OX_Index/../7/1700000000", "OX_Index\\2\\7/..\\1",
          "OX_Index\\2\\7\\..\\..\\1", "OX_Index/2/7/1700000000/..", "OX_Index/2/7/1700000000/"}) {
        unsigned long r = 9, s = 9;
        std::string a = "stale";
        EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(path, r, a, s), -1) << path;
        EXPECT_EQ(std::make_tuple(r, a, s), std::make_tuple(0ul, std::string(), 0ul)) << path;
    }
}

TEST_F(JobFilesTest, StatusFilesCompareByFirstLineAndAreRemoved) {
    const std::string a = idx + "/a", b = idx + "/b";
    for (const auto& [first, second, equal] :
         std::vector<std::tuple<std::string, std::string, bool>>{
             {"OX_Index/2/7/1\r\nCI\n", "OX_Index/2/7/1\nUI\nprevBackupTime=5\n", true},
             {"OX_Index/2/7/1\n", "OX_Index/2/7/10\n", false},
             {"", "x\n", false},
             {std::string("a\0b\n", 4), std::string("a\0c\n", 4), false}}) {
        writeFile(a, first);
        writeFile(b, second);
        EXPECT_EQ(IndexCacheDirBase::isStatusFileEqual(a, b), equal) << first;
        EXPECT_EQ(IndexCacheDirBase::isStatusFileEqual(b, a), equal) << first;
    }
    EXPECT_TRUE(IndexCacheDirBase::isStatusFileEqual(a, idx + "/missing"));
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    writeFile(path, "p\nCI\n");
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile(root, kJob, nullptr), 0);
    EXPECT_FALSE(testsupport::exists(path));
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile("", kJob, nullptr), 0); // no root: no file
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile(root, kJob, nullptr), -1);
}

} // namespace
