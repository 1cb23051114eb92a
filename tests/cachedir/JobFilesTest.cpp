#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/TestIndexCacheDir.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXClient.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using platform::KeyStore;
using platform::kPlatformSection;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

using testsupport::hasExactLine;

namespace {

constexpr unsigned long kStamp = 1700000000;
constexpr long long kJob = 12345;
const char* const kApp = "scp_7_9";

std::string allLines(const platform::TestSink& sink) {
    std::string out;
    for (const platform::CapturedLine& line : sink.lines())
        out += "  [" + std::to_string(line.level) + "] " + line.text + "\n";
    return out;
}

struct JobFilesTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string root = idx + "/OX_Index";
    platform::VirtualClock clock;

    void SetUp() override {
        KeyStore::set(kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(kPlatformSection, "FocusClient", "client1");
        KeyStore::set(kPlatformSection, "DebugLevel", "3");
    }

    // An initialised object whose cache directory exists (when makeDir is set).
    std::unique_ptr<TestIndexCacheDir> make(long long jobId = kJob, bool makeDir = true,
                                            unsigned long stamp = kStamp,
                                            TCacheTypeEnum type = TCacheTypeTape) {
        auto icd =
            std::make_unique<TestIndexCacheDir>(1, 2, kApp, jobId, BackupTypeFull, stamp, type);
        EXPECT_EQ(icd->preInitResult, 0);
        icd->initialize("client1");
        EXPECT_TRUE(icd->isInitialized());
        if (makeDir && icd->getCacheDir()) {
            EXPECT_EQ(recursiveMkdir(icd->getCacheDir(), 0755), 0);
        }
        return icd;
    }

    std::string cacheDir() const { return root + "/2/" + kApp + "/" + std::to_string(kStamp); }
    std::string statusPath(const std::string& base = std::string()) const {
        return (base.empty() ? root : base) + "/RunningJobs/12345.txt";
    }
};

// ---------------------------------------------------------------- job id file

TEST_F(JobFilesTest, JobIdFileHoldsTheTokenAndTheStorageNodeHost) {
    struct Case {
        const char* hostsValue;   // idxcache.hosts value for client1; null: no key
        const char* sessionValue; // SessionHostName; null: no key (system host name)
        std::string host;
        bool sessionFailed;
    };
    char system[256] = {0};
    ASSERT_EQ(::gethostname(system, sizeof system - 1), 0);
    const Case cases[] = {
        {"dp-host.example", nullptr, "dp-host.example", false},
        {nullptr, nullptr, "client1", false},
        {"", "session-host", "session-host", false},
        {"", nullptr, system, false},
        {"dp-host.example", "", "dp-host.example", true},
        {"", "", "UnKnOwN", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        if (c.hostsValue)
            KeyStore::set(kHostsSection, "client1", c.hostsValue);
        else
            KeyStore::remove(kHostsSection, "client1");
        if (c.sessionValue)
            KeyStore::set(kPlatformSection, "SessionHostName", c.sessionValue);
        else
            KeyStore::remove(kPlatformSection, "SessionHostName");

        auto icd = make();
        icd->setJobPhaseNumber(2);
        icd->setJobAttemptNumber(1);
        icd->setJobIndexWriteCounter(3);
        platform::TestSink sink;
        icd->createJobIdFile();
        EXPECT_EQ(readFile(cacheDir() + "/JobId"), "12345:2:1:3 " + c.host + "\n");
        EXPECT_EQ(hasExactLine(sink, "TESTICD: OXPI_Session::getHostName failed", 1),
                  c.sessionFailed)
            << allLines(sink);
    }
}

TEST_F(JobFilesTest, JobIdFileIsNotWrittenWithoutDirectoryOrJob) {
    struct Case {
        long long jobId;
        unsigned long stamp; // 0: no cache directory path
        bool makeDir;
        std::string line;
    };
    // In this order: the directory is made by the last case only.
    const Case cases[] = {
        {kJob, kStamp, false,
         "TESTICD: IndexCacheDirBase::createJobIdFile: cannot fopen file '" + cacheDir() +
             "/JobId', code 2"},
        {kJob, 0, false, "TESTICD: IndexCacheDirBase::createJobIdFile: no cacheDir"},
        {0, kStamp, true, "TESTICD: IndexCacheDirBase::createJobIdFile: no job id"},
    };
    for (const Case& c : cases) {
        auto icd = make(c.jobId, c.makeDir, c.stamp);
        platform::TestSink sink;
        icd->createJobIdFile();
        EXPECT_TRUE(hasExactLine(sink, c.line, 1)) << c.line << "\n" << allLines(sink);
        EXPECT_FALSE(exists(cacheDir() + "/JobId"));
    }

    // An object whose cache filesystem cannot be initialised does nothing.
    KeyStore::set(kPlatformSection, "IndexCacheDir", home.sub("missing"));
    TestIndexCacheDir broken(1, 2, kApp, kJob, BackupTypeFull, kStamp);
    broken.initialize("client1");
    ASSERT_FALSE(broken.isInitialized());
    platform::TestSink sink;
    broken.createJobIdFile();
    for (const platform::CapturedLine& line : sink.lines())
        EXPECT_EQ(line.text.find("createJobIdFile"), std::string::npos) << line.text;
    long long id = 5;
    std::string host = "x";
    unsigned int phase = 5, attempt = 5, counter = 5;
    EXPECT_EQ(broken.readJobIdFile(&id, &host, &phase, &attempt, &counter), 0);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(host, "");
    EXPECT_EQ(phase + attempt + counter, 0u);
}

TEST_F(JobFilesTest, ReadJobIdFileBothFormsAndEveryRejectedLine) {
    auto icd = make();
    const std::string file = cacheDir() + "/JobId";
    const std::string fn = "TESTICD: IndexCacheDirBase::readJobIdFile: ";
    struct Case {
        std::string content;
        int rc;
        long long id;
        unsigned int phase, attempt, counter;
        std::string host;
        std::string line; // expected level-1 line for a rejected file
    };
    const std::string longHost(3000, 'h');
    const Case cases[] = {
        {"12345:2:1:3 dp1\r\n", 1, 12345, 2, 1, 3, "dp1", ""},
        {"12345:2:1:3 dp1\n", 1, 12345, 2, 1, 3, "dp1", ""},
        {"12345:2:1:3 dp1", 1, 12345, 2, 1, 3, "dp1", ""},
        {"12345:2:1:3 my dp host\nsecond line\n", 1, 12345, 2, 1, 3, "my dp host", ""},
        {"12345:2:1:3 \n", 1, 12345, 2, 1, 3, "", ""},
        {"12345 dp1\n", 1, 12345, 0, 0, 0, "dp1", ""},
        {"12345 dp1\r\n", 1, 12345, 0, 0, 0, "dp1", ""},
        // fgets stops at 2047 characters: the host is cut, not overflowed.
        {"1:2:3:4 " + longHost + "\n", 1, 1, 2, 3, 4, std::string(2047 - 8, 'h'), ""},
        {"12345:2 \n", 0, 0, 0, 0, 0, "", fn + "cannot detect attempt number in '12345:2 '"},
        {"12345:2:1 dp1\n", 0, 0, 0, 0, 0, "", fn + "cannot detect counter in '12345:2:1 dp1'"},
        {"12345:2:1:3\n", 0, 0, 0, 0, 0, "", fn + "cannot detect DP name in '12345:2:1:3'"},
        {"12345\n", 0, 0, 0, 0, 0, "", fn + "cannot detect DP name in '12345'"},
        {"job:2:1:3 dp1\n", 0, 0, 0, 0, 0, "", fn + "Invalid jobIdPtr"},
        {"12345:two:1:3 dp1\n", 0, 0, 0, 0, 0, "", fn + "Invalid phaseno"},
        {"12345:2::3 dp1\n", 0, 0, 0, 0, 0, "", fn + "Invalid attempt"},
        {"12345:2:1:x dp1\n", 0, 0, 0, 0, 0, "", fn + "Invalid write counter"},
        {"job dp1\n", 0, 0, 0, 0, 0, "", fn + "Invalid jobIdPtr"},
        {"", 0, 0, 0, 0, 0, "", fn + "cannot fgets file '" + file + "' for job id, code 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        writeFile(file, c.content);
        long long id = -1;
        std::string host = "stale";
        unsigned int phase = 99, attempt = 99, counter = 99;
        platform::TestSink sink;
        EXPECT_EQ(icd->readJobIdFile(&id, &host, &phase, &attempt, &counter), c.rc);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(phase, c.phase);
        EXPECT_EQ(attempt, c.attempt);
        EXPECT_EQ(counter, c.counter);
        EXPECT_EQ(host, c.host);
        if (!c.line.empty()) {
            EXPECT_TRUE(hasExactLine(sink, c.line, 1)) << c.line << "\n" << allLines(sink);
        }
    }

    // Null pointers are skipped (host) or go to the object.
    writeFile(file, "777:4:5:6 dp9\n");
    long long id = 0;
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(id, 777);
    EXPECT_EQ(icd->getJobPhaseNumber(), 4u);
    EXPECT_EQ(icd->getJobAttemptNumber(), 5u);
    EXPECT_EQ(icd->getJobIndexWriteCounter(), 6u);
    EXPECT_EQ(icd->getJobId(), kJob) << "a given job id pointer leaves the object's id alone";

    ::unlink(file.c_str());
    platform::TestSink sink;
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(hasExactLine(sink, fn + "cannot fopen file '" + file + "', code 2", 1));
}

TEST_F(JobFilesTest, ReadJobIdFileIntoTheObjectTagsTheLog) {
    auto icd = make(kJob);
    const std::string file = cacheDir() + "/JobId";
    icd->setJobIndexWriteCounter(9);

    // A rejected line leaves the object as it was.
    writeFile(file, "bad:1:1:1 dp\n");
    platform::TestSink sink;
    EXPECT_EQ(icd->readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(hasExactLine(sink, "TESTICD: IndexCacheDirBase::readJobIdFile: Invalid jobId", 1));
    EXPECT_EQ(icd->getJobId(), kJob);
    EXPECT_EQ(icd->getJobIndexWriteCounter(), 9u);

    // The older form sets phase and attempt to 0 and leaves the counter.
    icd->setJobPhaseNumber(7);
    icd->setJobAttemptNumber(7);
    writeFile(file, "54321 dp\n");
    EXPECT_EQ(icd->readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(icd->getJobId(), 54321);
    EXPECT_EQ(icd->getJobPhaseNumber(), 0u);
    EXPECT_EQ(icd->getJobAttemptNumber(), 0u);
    EXPECT_EQ(icd->getJobIndexWriteCounter(), 9u);
    sink.clear();
    icd->debug(1, "probe");
    ASSERT_FALSE(sink.lines().empty());
    EXPECT_EQ(sink.lines().back().jobId, 54321) << "the log is tagged with the file's job";

    writeFile(file, "12345:3:2:8 dp\n");
    EXPECT_EQ(icd->readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(icd->getJobId(), kJob);
    EXPECT_EQ(icd->getJobPhaseNumber(), 3u);
    EXPECT_EQ(icd->getJobAttemptNumber(), 2u);
    EXPECT_EQ(icd->getJobIndexWriteCounter(), 8u);
}

TEST_F(JobFilesTest, CatalogServerCacheFindsADecoratedJobIdFile) {
    auto make2 = [&] {
        auto icd = std::make_unique<TestIndexCacheDir>(1, 2, kApp, kJob, BackupTypeFull, kStamp);
        icd->setCatalogServerCache(true);
        icd->initialize("client1");
        EXPECT_TRUE(icd->isInitialized());
        return icd;
    };
    const std::string dir = idx + "/CatalogServer/OX_Index/2/" + kApp + "/1700000000";
    const std::string fn = "TESTICD: IndexCacheDirBase::readJobIdFile: ";
    auto icd = make2();
    ASSERT_EQ(std::string(icd->getCacheDir()), dir);

    long long id = 0;
    platform::TestSink sink;
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(hasExactLine(sink, fn + "Failed to open directory [" + dir + "]", 1))
        << allLines(sink);

    ASSERT_EQ(recursiveMkdir(dir.c_str(), 0755), 0);
    writeFile(dir + "/State", "");
    sink.clear();
    EXPECT_EQ(icd->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(hasExactLine(sink, fn + "cannot fopen file '', code 2", 1)) << allLines(sink);

    writeFile(dir + "/JobId.trn_0002", "12345:1:1:2 dp\n");
    std::string host;
    unsigned int counter = 0;
    EXPECT_EQ(icd->readJobIdFile(&id, &host, nullptr, nullptr, &counter), 1);
    EXPECT_EQ(id, kJob);
    EXPECT_EQ(counter, 2u);
    EXPECT_EQ(host, "dp");

    // Other caches do not look further than "JobId".
    auto plain = make(kJob, true);
    writeFile(cacheDir() + "/JobId.trn_0002", "12345:1:1:2 dp\n");
    EXPECT_EQ(plain->readJobIdFile(&id, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(JobFilesTest, RemoveJobIdFile) {
    auto icd = make();
    const std::string file = cacheDir() + "/JobId";
    writeFile(file, "12345:1:1:1 dp\n");
    platform::TestSink sink;
    icd->removeJobIdFile();
    EXPECT_FALSE(exists(file));
    icd->removeJobIdFile();
    EXPECT_TRUE(sink.lines().empty()) << "a missing file is not an error:\n" << allLines(sink);

    ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
    icd->removeJobIdFile();
    EXPECT_TRUE(hasExactLine(sink,
                             "TESTICD: IndexCacheDirBase::removeJobIdFile: cannot unlink file '" +
                                 file + "', code 21",
                             1))
        << allLines(sink);
}

TEST_F(JobFilesTest, JobIdFileValidity) {
    struct Case {
        long long ownJob;
        unsigned int ownCounter;
        const char* file; // null: no job id file
        bool valid;
        const char* reason;
        std::string line;
        int level;
    };
    const Case cases[] = {
        {kJob, 5, "12345:1:1:3 dp\n", false, "Indexing token mismatch found.",
         "ERROR: Indexing token mismatch found. Old token=3 < new token=5", 1},
        {kJob, 5, "12345:1:1:5 dp\n", true, "keep", "", 0},
        {kJob, 5, "12345:1:1:7 dp\n", true, "keep", "", 0},
        {kJob, 0, "12345:1:1:3 dp\n", true, "keep",
         "Warning: Indexing token mismatch check skipped. Old token=3, new token=0", 3},
        {kJob, 5, "12345:1:1:0 dp\n", true, "keep",
         "Warning: Indexing token mismatch check skipped. Old token=0, new token=5", 3},
        {kJob, 5, "12345 dp\n", true, "keep",
         "Warning: Indexing token mismatch check skipped. Old token=0, new token=5", 3},
        {kJob, 5, "999:1:1:9 dp\n", false, "IC was not created by previous or current job",
         "ERROR: IC was created by the different job (999 instead of 12345).", 3},
        {kJob, 5, "0:1:1:3 dp\n", true, "keep",
         "JobId mismatch check skipped. Old token=3, new token=5", 3},
        {0, 5, "999:1:1:3 dp\n", true, "keep",
         "JobId mismatch check skipped. Old token=3, new token=5", 3},
        {kJob, 5, nullptr, false, "unable to read jobId file", "ERROR: unable to read jobId file",
         3},
        {kJob, 5, "garbage\n", false, "unable to read jobId file",
         "ERROR: unable to read jobId file", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file ? c.file : "(none)") + " own " + std::to_string(c.ownJob) +
                     "/" + std::to_string(c.ownCounter));
        auto icd = make(c.ownJob);
        icd->setJobIndexWriteCounter(c.ownCounter);
        ::unlink((cacheDir() + "/JobId").c_str());
        if (c.file)
            writeFile(cacheDir() + "/JobId", c.file);
        std::string reason = "keep";
        platform::TestSink sink;
        EXPECT_EQ(icd->isJobIdFileValid(&reason), c.valid);
        EXPECT_EQ(reason, c.reason);
        if (!c.line.empty()) {
            EXPECT_TRUE(hasExactLine(sink, "TESTICD: " + c.line, c.level)) << allLines(sink);
        }
        EXPECT_EQ(icd->isJobIdFileValid(nullptr), c.valid) << "a null reason is allowed";
    }
}

// ------------------------------------------------------------ job status files

TEST_F(JobFilesTest, StatusFilePathAndItsFolder) {
    ::mkdir(root.c_str(), 0755);
    EXPECT_EQ(IndexCacheDirBase::getJobStatusFilePath(root, 0), "");
    EXPECT_FALSE(exists(root + "/RunningJobs")) << "no folder for job id 0";
    EXPECT_EQ(IndexCacheDirBase::getJobStatusFilePath("", kJob), "");

    ::umask(022);
    EXPECT_EQ(IndexCacheDirBase::getJobStatusFilePath(root, kJob), root + "/RunningJobs/12345.txt");
    struct stat st;
    ASSERT_EQ(::stat((root + "/RunningJobs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // An existing folder is fine; a large job id is printed unsigned.
    EXPECT_EQ(IndexCacheDirBase::getJobStatusFilePath(root, -1),
              root + "/RunningJobs/18446744073709551615.txt");
    // A root that does not exist still names the file; the folder is not made.
    EXPECT_EQ(IndexCacheDirBase::getJobStatusFilePath(idx + "/none", 7),
              idx + "/none/RunningJobs/7.txt");
    EXPECT_FALSE(exists(idx + "/none"));

    auto icd = make();
    EXPECT_EQ(icd->getJobStatusFilePath(), statusPath());
    EXPECT_EQ(make(0)->getJobStatusFilePath(), "");
}

TEST_F(JobFilesTest, StatusFileContentPerActionAndPreviousBackupTime) {
    auto icd = make();
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    const std::string copy = cacheDir() + "/12345.txt.JobStatus";
    struct Case {
        int action;
        unsigned long prev;
        std::string content;
    };
    const std::string line1 = "OX_Index/2/scp_7_9/1700000000\n";
    const Case cases[] = {
        {JobStatusCI, 0, line1 + "CI\n"},
        {JobStatusCI, 1700000000, line1 + "CI\nprevBackupTime=1700000000\n"},
        {JobStatusNA, 0, line1 + "NA\n"},
        {JobStatusUI, 5, line1 + "UI\nprevBackupTime=5\n"},
        {JobStatusCF, 0, line1 + "CF\n"},
        {JobStatusAI, 4294967295UL, line1 + "AI\nprevBackupTime=4294967295\n"},
        {5, 0, line1 + "NA\n"},
        {-1, 0, line1 + "NA\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        // A longer old file must not leave its tail behind.
        writeFile(path, std::string(300, 'z') + "\n");
        platform::TestSink sink;
        EXPECT_EQ(IndexCacheDirBase::createJobStatusFile(
                      icd->getCacheDir(), kJob, path,
                      static_cast<EJobStatusFileLastAction>(c.action), c.prev, icd.get()),
                  0);
        EXPECT_EQ(readFile(path), c.content);
        EXPECT_EQ(readFile(copy), c.content);
        EXPECT_TRUE(hasExactLine(sink,
                                 "TESTICD: createJobStatusFile(" + std::to_string(c.action) +
                                     ")==0 ListFilePath=='" + path + "'",
                                 3))
            << allLines(sink);
    }
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(JobFilesTest, StatusFileWithoutPathOrDirectoryAndItsFailures) {
    auto icd = make();
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    platform::TestSink sink;

    EXPECT_EQ(IndexCacheDirBase::createJobStatusFile(icd->getCacheDir(), kJob, "", JobStatusCF, 0,
                                                     icd.get()),
              0);
    EXPECT_TRUE(
        hasExactLine(sink, "TESTICD: createJobStatusFile(3)==0 ListFilePath==emptyString", 3));

    writeFile(path, "old\n");
    EXPECT_EQ(
        IndexCacheDirBase::createJobStatusFile(nullptr, kJob, path, JobStatusCI, 0, icd.get()), 0);
    EXPECT_FALSE(exists(path)) << "the old file is removed even without a cache directory";
    EXPECT_TRUE(hasExactLine(sink, "TESTICD: Skip status file creation for NULL ICD", 3));

    // A folder that does not exist: five retries, then -1.
    const std::string lost = idx + "/none/RunningJobs/12345.txt";
    sink.clear();
    EXPECT_EQ(IndexCacheDirBase::createJobStatusFile(icd->getCacheDir(), kJob, lost, JobStatusCI, 0,
                                                     icd.get()),
              -1);
    EXPECT_TRUE(hasExactLine(
        sink, "TESTICD: createJobStatusFile(): cannot create status file " + lost + ", code 2", 1))
        << allLines(sink);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(5, 1000));

    // The copy into a cache directory that is gone fails the call.
    const std::string gone = idx + "/gone";
    EXPECT_EQ(
        IndexCacheDirBase::createJobStatusFile(gone.c_str(), kJob, path, JobStatusCI, 0, icd.get()),
        -1);
    EXPECT_EQ(readFile(path), gone + "\nCI\n") << "a path outside any type folder stays whole";

    // Without a log object the lines still go out.
    sink.clear();
    EXPECT_EQ(IndexCacheDirBase::createJobStatusFile(icd->getCacheDir(), kJob, path, JobStatusUI, 0,
                                                     nullptr),
              0);
    EXPECT_EQ(readFile(cacheDir() + "/12345.txt.JobStatus"), "OX_Index/2/scp_7_9/1700000000\nUI\n");
    EXPECT_TRUE(hasExactLine(
        sink, "INDEXCACHEDIRBASE: createJobStatusFile(2)==0 ListFilePath=='" + path + "'", 3))
        << allLines(sink);
}

TEST_F(JobFilesTest, ReadStatusFileLineByLine) {
    ::mkdir(root.c_str(), 0755);
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    const std::string pfx = "INDEXCACHEDIRBASE: ";
    struct Case {
        std::string content;
        std::string localPath;
        int action;
        unsigned long prev; // the caller's 77 stays unless line 3 sets it
        std::string line;
        int level;
    };
    const Case cases[] = {
        {"OX_Index/2/7/1\nCI\n", "OX_Index/2/7/1", 1, 77, "", 0},
        {"OX_Index/2/7/1\nCI\nprevBackupTime=1700000000\n", "OX_Index/2/7/1", 1, 1700000000, "", 0},
        {"OX_Index/2/7/1\r\nUI\r\nprevBackupTime=4000000000\r\n", "OX_Index/2/7/1", 2, 4000000000UL,
         "", 0},
        {"p\nCF\n", "p", 3, 77, "", 0},
        {"p\nAI\nsomething else\n", "p", 4, 77, "", 0},
        {"p\nNA\n", "p", 0, 77, "", 0},
        {"p\nci\n", "p", 0, 77, "", 0},
        {"p\nCIX\n", "p", 0, 77, "", 0},
        {"p\n", "p", 0, 77,
         "readJobStatusFile(): failed to read last action from file " + path + ", code 0", 3},
        {"", "", 0, 77, "readJobStatusFile(): failed to read status from file " + path + ", code 0",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        writeFile(path, c.content);
        std::string localPath = "stale";
        EJobStatusFileLastAction action = JobStatusAI;
        unsigned long prev = 77;
        platform::TestSink sink;
        EXPECT_EQ(
            IndexCacheDirBase::readJobStatusFile(root, kJob, localPath, action, prev, nullptr), 0);
        EXPECT_EQ(localPath, c.localPath);
        EXPECT_EQ(action, c.action);
        EXPECT_EQ(prev, c.prev);
        if (!c.line.empty()) {
            EXPECT_TRUE(hasExactLine(sink, pfx + c.line, c.level)) << allLines(sink);
        }
        EXPECT_TRUE(hasExactLine(sink,
                                 pfx + "readJobStatusFile(" + root + ", 12345)==0 ListFilePath=='" +
                                     path + "' prevBackupTime==" + std::to_string(c.prev),
                                 3))
            << allLines(sink);
    }
    EXPECT_TRUE(clock.waits().empty());
}

TEST_F(JobFilesTest, ReadStatusFileWithoutPathOrFile) {
    std::string localPath = "stale";
    EJobStatusFileLastAction action = JobStatusAI;
    unsigned long prev = 77;
    platform::TestSink sink;
    EXPECT_EQ(IndexCacheDirBase::readJobStatusFile(root, 0, localPath, action, prev, nullptr), 1);
    EXPECT_EQ(localPath, "");
    EXPECT_EQ(action, JobStatusNA);
    EXPECT_TRUE(hasExactLine(sink,
                             "INDEXCACHEDIRBASE: readJobStatusFile(" + root +
                                 ", 0) failed, ListFilePath==emptyString",
                             1))
        << allLines(sink);

    ::mkdir(root.c_str(), 0755);
    localPath = "stale";
    EXPECT_EQ(IndexCacheDirBase::readJobStatusFile(root, kJob, localPath, action, prev, nullptr),
              -1);
    EXPECT_EQ(localPath, "");
    EXPECT_EQ(prev, 77u);
    EXPECT_TRUE(hasExactLine(sink,
                             "INDEXCACHEDIRBASE: readJobStatusFile(): cannot open status file " +
                                 statusPath() + ", code 2",
                             1))
        << allLines(sink);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(5, 1000));
}

TEST_F(JobFilesTest, MemberStatusFileRoundTripAndReplacement) {
    auto icd = make();
    const std::string path = statusPath();
    ::mkdir((root + "/RunningJobs").c_str(), 0700);
    writeFile(path, "old/path/x\nUI\nprevBackupTime=5\nextra\n");
    platform::TestSink sink;
    EXPECT_EQ(icd->createJobStatusFile(JobStatusCI, 1700000000), 0);
    const std::string content = "OX_Index/2/scp_7_9/1700000000\nCI\nprevBackupTime=1700000000\n";
    EXPECT_EQ(readFile(path), content);
    EXPECT_EQ(readFile(cacheDir() + "/12345.txt.JobStatus"), content);
    EXPECT_TRUE(
        hasExactLine(sink, "TESTICD: removeJobStatusFile()==0 ListFilePath=='" + path + "'", 3))
        << "the old file is removed first:\n"
        << allLines(sink);

    std::string localPath;
    EJobStatusFileLastAction action = JobStatusNA;
    unsigned long prev = 0;
    EXPECT_EQ(icd->readJobStatusFile(localPath, action, prev), 0);
    EXPECT_EQ(localPath, "OX_Index/2/scp_7_9/1700000000");
    EXPECT_EQ(action, JobStatusCI);
    EXPECT_EQ(prev, 1700000000u);
    unsigned long realm = 0, stamp = 0;
    std::string app;
    EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(localPath, realm, app, stamp), 0);
    EXPECT_EQ(realm, 2u);
    EXPECT_EQ(app, kApp);
    EXPECT_EQ(stamp, kStamp);

    EXPECT_EQ(icd->removeJobStatusFile(), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(exists(cacheDir() + "/12345.txt.JobStatus")) << "the copy stays";

    auto noJob = make(0);
    sink.clear();
    EXPECT_EQ(noJob->createJobStatusFile(JobStatusCI, 0), 0);
    EXPECT_TRUE(
        hasExactLine(sink, "TESTICD: createJobStatusFile(1)==0 ListFilePath==emptyString", 3));
    EXPECT_EQ(noJob->readJobStatusFile(localPath, action, prev), 1);
    EXPECT_EQ(noJob->removeJobStatusFile(), 0);
    EXPECT_TRUE(
        hasExactLine(sink, "TESTICD: removeJobStatusFile()==0 ListFilePath==emptyString", 3));
}

TEST_F(JobFilesTest, RemoveStatusFile) {
    ::mkdir(root.c_str(), 0755);
    const std::string path = IndexCacheDirBase::getJobStatusFilePath(root, kJob);
    const std::string pfx = "INDEXCACHEDIRBASE: ";
    platform::TestSink sink;
    writeFile(path, "p\nCI\n");
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile(root, kJob, nullptr), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(
        hasExactLine(sink, pfx + "removeJobStatusFile()==0 ListFilePath=='" + path + "'", 3));
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile(root, kJob, nullptr), 0) << "already gone";

    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    sink.clear();
    EXPECT_EQ(IndexCacheDirBase::removeJobStatusFile(root, kJob, nullptr), -1);
    EXPECT_TRUE(hasExactLine(
        sink,
        pfx + "removeJobStatusFile(): Failed to delete list file '" + path + "' (1), errno=21", 1))
        << allLines(sink);
    EXPECT_TRUE(
        hasExactLine(sink, pfx + "removeJobStatusFile()==-1 ListFilePath=='" + path + "'", 3));
}

// The job works in a local intermediate cache: the status file is kept on the
// remote cache root as well, in the type folder of the cache type.
TEST_F(JobFilesTest, SecondStatusFileOnTheRemoteCacheRoot) {
    const std::string remote = home.sub("remote", true);
    const std::string local = home.sub("local", true);
    KeyStore::set(kPlatformSection, "IndexCacheDir", remote);
    KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
    struct Case {
        TCacheTypeEnum type;
        const char* localFolder;
        const char* remoteFolder;
    };
    const Case cases[] = {
        {TCacheTypeTape, "OX_Index", "OX_Index"},
        {TCacheTypeContentSearch, "OX_FcsIndex", "OX_FcsIndex"},
        {TCacheTypeSnap, "OX_SnapMetadata", "OX_SnapMetadata"},
        {TCacheTypePageCache, "OX_PageCache", "OX_Index"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.localFolder);
        TestIndexCacheDir icd(1, 2, kApp, kJob, BackupTypeFull, kStamp, c.type);
        icd.setUseIntermediateCache(true);
        icd.initialize("client1");
        ASSERT_TRUE(icd.isInitialized());
        ASSERT_EQ(std::string(icd.getCacheFs()), local + "/" + c.localFolder);
        ASSERT_EQ(icd.getRemoteCacheFs(), remote);
        ASSERT_EQ(recursiveMkdir(icd.getCacheDir(), 0755), 0);
        ASSERT_EQ(recursiveMkdir((remote + "/" + c.remoteFolder).c_str(), 0755), 0);

        const std::string localStatus = local + "/" + c.localFolder + "/RunningJobs/12345.txt";
        const std::string remoteStatus = remote + "/" + c.remoteFolder + "/RunningJobs/12345.txt";
        writeFile(remoteStatus, "stale remote\n");
        EXPECT_EQ(icd.createJobStatusFile(JobStatusCI, 0), 0);
        const std::string content = std::string(c.localFolder) + "/2/scp_7_9/1700000000\nCI\n";
        EXPECT_EQ(readFile(localStatus), content);
        EXPECT_EQ(readFile(remoteStatus), content);
        EXPECT_EQ(readFile(std::string(icd.getCacheDir()) + "/12345.txt.JobStatus"), content);

        EXPECT_EQ(icd.removeJobStatusFile(), 0);
        EXPECT_FALSE(exists(localStatus));
        EXPECT_FALSE(exists(remoteStatus));
    }

    // A remote type folder that is missing fails the second file only, and
    // the call with it.
    TestIndexCacheDir icd(1, 2, kApp, kJob, BackupTypeFull, kStamp, TCacheTypeTape);
    icd.setUseIntermediateCache(true);
    icd.initialize("client1");
    ASSERT_EQ(recursiveMkdir(icd.getCacheDir(), 0755), 0);
    ASSERT_EQ(deleteDir((remote + "/OX_Index").c_str()), 0);
    platform::TestSink sink;
    clock.clearWaits();
    EXPECT_EQ(icd.createJobStatusFile(JobStatusUI, 0), -1);
    EXPECT_EQ(readFile(local + "/OX_Index/RunningJobs/12345.txt"),
              "OX_Index/2/scp_7_9/1700000000\nUI\n");
    EXPECT_TRUE(hasExactLine(sink,
                             "TESTICD: createJobStatusFile(): cannot create status file " + remote +
                                 "/OX_Index/RunningJobs/12345.txt, code 2",
                             1))
        << allLines(sink);
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(5, 1000));
    EXPECT_EQ(icd.removeJobStatusFile(), 0) << "an absent remote file is not an error";
    EXPECT_FALSE(exists(local + "/OX_Index/RunningJobs/12345.txt"));
}

TEST_F(JobFilesTest, ParseLocalPath) {
    struct Good {
        std::string path;
        unsigned long realm;
        std::string app;
        unsigned long stamp;
    };
    const Good good[] = {
        {"OX_Index/2/scp_7_9/1700000000", 2, "scp_7_9", 1700000000},
        {"OX_Index\\2\\7\\1700000000", 2, "7", 1700000000},
        {"OX_FcsIndex/15/12/4294967295", 15, "12", 4294967295UL},
    };
    for (const Good& g : good) {
        SCOPED_TRACE(g.path);
        unsigned long realm = 9, stamp = 9;
        std::string app = "stale";
        platform::TestSink sink;
        EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(g.path, realm, app, stamp), 0);
        EXPECT_EQ(realm, g.realm);
        EXPECT_EQ(app, g.app);
        EXPECT_EQ(stamp, g.stamp);
        EXPECT_TRUE(hasExactLine(sink,
                                 "INDEXCACHEDIRBASE: parseJobStatusLocalPath()==0 localPath=='" +
                                     g.path + "', " + std::to_string(g.realm) + "/" + g.app + "/" +
                                     std::to_string(g.stamp),
                                 3))
            << allLines(sink);
    }

    struct Bad {
        std::string path;
        bool noSeparator;
    };
    const Bad bad[] = {
        {"no separators at all", true},
        {"", true},
        {"a/b", false},
        {"a/b/c", false},
        {"OX_Index/2/7/", false},
        {"OX_Index/2//1700000000", false},
        {"OX_Index//7/1700000000", false},
        {"OX_Index/2/7/17x", false},
        {"OX_Index/x2/7/1700000000", false},
        {"OX_Index/-2/7/1700000000", false},
        {"OX_Index/2/7/+1700000000", false},
        {"OX_Index/2/7/99999999999999999999999", false},
        {"OX_Index/2/name/1700000000", false},
        // A file's text must not lead a path out of the cache root.
        {"OX_Index/2/../../etc/1", false},
        {"OX_Index/2/1/../../../etc/1", false},
        {"OX_Index/2/scp_7_9/../../1", false},
        {"OX_Index/2/./1", false},
        {"OX_Index/2/../1", false},
        {"OX_Index/../7/1700000000", false},
        {"OX_Index\\2\\7/..\\1", false},
        {"OX_Index\\2\\7\\..\\..\\1", false},
        {"OX_Index/2/7/1700000000/..", false},
        {"OX_Index/2/7/1700000000/", false},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.path);
        unsigned long realm = 9, stamp = 9;
        std::string app = "stale";
        platform::TestSink sink;
        EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(b.path, realm, app, stamp), -1);
        EXPECT_EQ(realm, 0u);
        EXPECT_EQ(app, "");
        EXPECT_EQ(stamp, 0u);
        const std::string line =
            b.noSeparator
                ? "INDEXCACHEDIRBASE: parseJobStatusLocalPath() failed, localPath=='" + b.path + "'"
                : "INDEXCACHEDIRBASE: parseJobStatusLocalPath() failed (-1) localPath=='" + b.path +
                      "'";
        EXPECT_TRUE(hasExactLine(sink, line, 1)) << allLines(sink);
    }

    // Read back from a status file a job left: the path is refused there too.
    auto icd = make();
    writeFile(icd->getJobStatusFilePath(), "OX_Index/2/../../etc/1\nCI\n");
    std::string localPath, app;
    EJobStatusFileLastAction action;
    unsigned long prev = 0, realm = 0, stamp = 0;
    ASSERT_EQ(icd->readJobStatusFile(localPath, action, prev), 0);
    EXPECT_EQ(localPath, "OX_Index/2/../../etc/1");
    EXPECT_EQ(IndexCacheDirBase::parseJobStatusLocalPath(localPath, realm, app, stamp), -1);
}

TEST_F(JobFilesTest, StatusFilesCompareByFirstLine) {
    const std::string dir = home.sub("cmp", true);
    struct Case {
        std::string first;
        std::string second;
        bool equal;
    };
    const Case cases[] = {
        {"OX_Index/2/7/1\r\nCI\n", "OX_Index/2/7/1\nCI\n", true},
        {"OX_Index/2/7/1\nCI\n", "OX_Index/2/7/1\nUI\nprevBackupTime=5\n", true},
        {"OX_Index/2/7/1\nCI\n", "OX_Index/2/7/2\nCI\n", false},
        {"OX_Index/2/7/1\n", "OX_Index/2/7/10\n", false},
        {"OX_Index/2/7/1", "OX_Index/2/7/1\n", true},
        {"abc\rdef\n", "abc\n", true},
        {"", "\n", true},
        {"", "x\n", false},
        {std::string("a\0b\n", 4), std::string("a\0c\n", 4), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first + " | " + c.second);
        writeFile(dir + "/a", c.first);
        writeFile(dir + "/b", c.second);
        EXPECT_EQ(IndexCacheDirBase::isStatusFileEqual(dir + "/a", dir + "/b"), c.equal);
        EXPECT_EQ(IndexCacheDirBase::isStatusFileEqual(dir + "/b", dir + "/a"), c.equal);
    }
    EXPECT_TRUE(IndexCacheDirBase::isStatusFileEqual(dir + "/a", dir + "/missing"));
    EXPECT_TRUE(IndexCacheDirBase::isStatusFileEqual(dir + "/missing", dir + "/a"));
}

} // namespace
