#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "jobresults/JobItemsStatus.h"
#include "jobresults/ResultsSupport.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/CNMessageBase.h"
#include "platform/Env.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr long long kJob = 77;

struct FilterTest : ResultsTest {
    std::string dir() const { return jobDir(kJob); }
    void restoreOut(const std::string& text) {
        StoreResults s(2, kJob, false, "client1");
        ASSERT_EQ(s.openFile(RF_RESTORE, true, true), 0);
        ASSERT_EQ(s.closeFile(), 0);
        writeFile(dir() + "/restore.out", text);
    }
    std::vector<std::string> tempEntries() const {
        std::vector<std::string> out;
        DIR* d = ::opendir(tmp.c_str());
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        ::closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(FilterTest, EachFilterKeepsItsStatusesAndIsReleased) {
    std::string all;
    for (int status = 1; status <= 14; ++status)
        all += "/d/f" + std::to_string(status) + " " + std::to_string(status) + "\n";
    restoreOut(all + "c.txt\n");
    struct Case {
        ResultsFile kind;
        const char* ext;
        std::vector<int> kept;
    } cases[] = {{RF_RESTORE_FILTER_S, ".s_rst", {1, 2, 5, 11}},
                 {RF_RESTORE_FILTER_F, ".f_rst", {3, 10, 12}},
                 {RF_RESTORE_FILTER_SK, ".sk_rst", {4, 6, 7, 8}},
                 {RF_RESTORE_FILTER_CONFLICT, ".cnflct_rst", {14}}};
    platform::VirtualClock clock;
    for (const Case& c : cases) {
        RetrieveResults r(2, kJob, c.kind, "client1", 0);
        const std::string name = tmp + "/PagingFile_Job_77_1700000000" + c.ext;
        ASSERT_STREQ(r.getFileName(), name.c_str());
        std::string expected;
        for (int s : c.kept)
            expected += "/d/f" + std::to_string(s) + " " + std::to_string(s) + "\n";
        EXPECT_EQ(readFile(name), expected) << c.ext;
        EXPECT_EQ(r.getPage(1, 1, 1, nullptr, nullptr, 0), 0);
        EXPECT_TRUE(exists(name + ".map"));
        EXPECT_EQ(r.getPage(1, -1, 1, nullptr, nullptr, 0), 0);
        EXPECT_FALSE(exists(name) || exists(name + ".map")) << c.ext;
    }
}

TEST_F(FilterTest, TwoProcessesShareOneFilterRegeneratedWhenRestoreGrows) {
    restoreOut("/a 3\n/b 1\n");
    testsupport::ProcessSignal go;
    pid_t kids[2];
    for (pid_t& kid : kids)
        kid = testsupport::forkChild([&]() {
            CHILD_CHECK(go.wait());
            RetrieveResults r(2, kJob, RF_RESTORE_FILTER_F, "client1", 0);
            return r.getFileName() && readFile(r.getFileName()) == "/a 3\n" ? 0 : 1;
        });
    go.post();
    go.post();
    for (pid_t kid : kids)
        EXPECT_EQ(testsupport::waitChild(kid), 0);
    const auto entries = tempEntries();
    ASSERT_EQ(entries.size(), 1u); // one complete file, no partial one left
    const std::string filter = tmp + "/" + entries[0];
    const time_t minuteAgo = ::time(nullptr) - 60;
    struct timespec old[2] = {{minuteAgo, 0}, {minuteAgo, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, filter.c_str(), old, 0), 0);
    writeFile(dir() + "/restore.out", "/a 3\n/b 1\n/c 12\n");
    RetrieveResults again(2, kJob, RF_RESTORE_FILTER_F, "client1", 0);
    ASSERT_TRUE(again.getFileName());
    EXPECT_EQ(readFile(again.getFileName()), "/a 3\n/c 12\n") << again.getFileName();
}

TEST_F(FilterTest, CleanupNeverRemovesResultsOrGivenFiles) {
    StoreResults s(2, kJob, false, "client1");
    ASSERT_EQ(s.openFile(RF_BACKUP, true, true), 0);
    ASSERT_EQ(s.putLine("x", true), 0);
    ASSERT_EQ(s.closeFile(), 0);
    RetrieveResults results(2, kJob, RF_BACKUP, "client1", 0);
    results.cleanup();
    EXPECT_TRUE(exists(dir() + "/backup.out") && exists(dir() + "/1.map"));
    const std::string given = home.path() + "/list.txt";
    writeFile(given, "a\n");
    RetrieveResults byPath(RF_GIVEN, given.c_str(), "client1", 0);
    ASSERT_EQ(byPath.getPage(1, 1, 1, nullptr, nullptr, 0), 0);
    byPath.cleanup();
    EXPECT_TRUE(exists(given));
    EXPECT_FALSE(exists(tmp + "/list.txt.map"));
}

TEST_F(FilterTest, JobItemsTextFromXmlAndHostileXmlRefused) {
    StoreResults s(2, kJob, false, "client1");
    ASSERT_EQ(s.openFile(RF_BACKUP, true, true), 0);
    ASSERT_EQ(s.closeFile(), 0);
    CNMessageBase info(1, 2, 0x30000A50, "ExchMbJobInfo");
    for (int i = 0; i < 3; ++i)
        info.setString(jobitems::kStatusListField, i, jobitems::kJobInfoClassKey,
                       jobitems::kStatusTabFieldKey, i == 1 ? "" : "mb" + std::to_string(i));
    const std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">"
                               "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><m>&b;</m>";
    struct Case {
        std::string xml;
        bool ok;
        std::string text;
    } cases[] = {{laughs, false, ""},
                 {std::string(RetrieveResults::kMaxXmlBytes + 1, ' '), false, ""},
                 {CNMessageBase(1, 2, 0x30000A50, "ExchMbJobInfo").toXml(), false, ""},
                 {info.toXml(), true, "mb0\nmb2\n"}};
    const std::string text = dir() + "/JobItemsStatusFile.txt";
    for (const Case& c : cases) {
        writeFile(dir() + "/JobItemsStatusFile.xml", c.xml);
        RetrieveResults r(2, kJob, RF_JOB_ITEMS_STATUS, "client1", 0);
        EXPECT_EQ(r.ConvertXMLtoTxtfile(), c.ok);
        EXPECT_EQ(readFile(text), c.text);
    }
    writeFile(dir() + "/JobItemsStatusFile.xml", "<broken");
    RetrieveResults r(2, kJob, RF_JOB_ITEMS_STATUS, "client1", 0);
    EXPECT_TRUE(r.ConvertXMLtoTxtfile()); // the first text stays
    EXPECT_EQ(readFile(text), "mb0\nmb2\n");
}

} // namespace
