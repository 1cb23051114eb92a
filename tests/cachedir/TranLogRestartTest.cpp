// The restart file of a transaction log: lines are read whole or refused,
// a rollback cuts after the restart point and keeps the base copies, the
// newest restart point is told apart from older ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/TCtreeTable.h"

namespace {

constexpr unsigned long kTs = 1700000100;

TEST(TranLogLineTest, TornOrMalformedLinesAreRefused) {
    testsupport::ScratchHome home;
    const std::string file = home.sub("rst", true) + "/TL_RST.cfg";
    struct Case {
        const char* text;
        std::vector<int> answers; // readNextLineAndParse answers in order
    } cases[] = {
        {"\"5 A B\" \"t.trn_0001\" \"State.trn_0001\"\n", {1, 0}},
        {"\"5 A\" \"x.trn_0001\"\n\"5 B\" \"x.trn_0002\"", {1, -1}}, // no LF
        {"\"5 A\" \"x.trn_0001\n", {-1}},                            // open quote
        {"\"5 A\" junk\n", {-1}},
        {"\"5 A\r\" \"x\"\n", {-1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testsupport::writeFile(file, c.text);
        TCtreeTranLogChunkLineHelper h;
        ASSERT_EQ(h.setFile(file.c_str()), 0);
        for (int want : c.answers)
            EXPECT_EQ(h.readNextLineAndParse(), want);
    }
    TCtreeTranLogChunkLineHelper h;
    testsupport::writeFile(file, cases[0].text);
    ASSERT_EQ(h.setFile(file.c_str()), 0);
    ASSERT_EQ(h.readNextLineAndParse(), 1);
    EXPECT_EQ(h.jobIdText(), "5");
    EXPECT_EQ(h.restartStrings(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(h.entries(), (std::vector<std::string>{"t.trn_0001", "State.trn_0001"}));
}

struct TranLogRestartTest : CacheDirFixture {
    std::string f(const std::string& name) const { return dirPath(kTs) + "/" + name; }
    std::unique_ptr<CacheDirProbe> withLog() {
        auto dir = lifecycle::openForWriting(*this, kTs);
        dir->setIndexCheckpointFlag(false);
        dir->setIndexUseTranLogFlag(true);
        for (const char* name : {"tree.dat", "tree.start.dat", "tree.start.idx", "x.trn_0001",
                                 "x.trn_0002", "x.trn_0003", "current_chunk", "log.txt"})
            testsupport::writeFile(f(name), "v");
        testsupport::writeFile(f("TL_RST.cfg"), "\"5 NoRstString\" \"x.trn_0001\"\n"
                                                "\"5 R2\" \"x.trn_0002\"\n"
                                                "\"5 R3\" \"x.trn_0003\"\n");
        return dir;
    }
};

TEST_F(TranLogRestartTest, RollbackCutsAfterTheRestartPointAndKeepsTheBases) {
    auto dir = withLog();
    EXPECT_EQ(dir->restoreCopy("bad\"string"), -1);
    ASSERT_EQ(dir->restoreCopy("R2"), 0);
    EXPECT_EQ(testsupport::readFile(f("TL_RST.cfg")),
              "\"5 NoRstString\" \"x.trn_0001\"\n\"5 R2\" \"x.trn_0002\"\n");
    for (const auto& [name, kept] :
         {std::pair{"tree.dat", false}, std::pair{"tree.start.dat", true},
          std::pair{"x.trn_0002", true}, std::pair{"x.trn_0003", false},
          std::pair{"current_chunk", false}, std::pair{"log.txt", true}})
        EXPECT_EQ(testsupport::exists(f(name)), kept) << name;

    // A torn last line restores nothing.
    testsupport::writeFile(f("TL_RST.cfg"), "\"5 R2\" \"x.trn_0002\"\n\"5 R3\" \"x.trn");
    testsupport::writeFile(f("tree.dat"), "v");
    EXPECT_EQ(dir->restoreCopy("R3"), -1);
    EXPECT_TRUE(testsupport::exists(f("tree.dat")));
}

TEST_F(TranLogRestartTest, TheNewestRestartPointAndRemoval) {
    auto dir = withLog();
    struct Case {
        std::vector<std::string> wanted;
        std::vector<std::string> result;
    } cases[] = {{{"R3"}, {"R3"}}, {{"R2"}, {}}, {{"nope"}, {}}};
    for (const Case& c : cases) {
        std::vector<std::string> result{"stale"};
        EXPECT_EQ(dir->getRestartStrings(c.wanted, result), 0);
        EXPECT_EQ(result, c.result);
    }
    testsupport::writeFile(f("TL_RST.cfg"),
                           "\"5 R2\" \"x.trn_0002\"\n\"5 NoRstString\" \"x.trn_0003\"\n");
    std::vector<std::string> result;
    EXPECT_EQ(dir->getRestartStrings({"R2"}, result), 0);
    EXPECT_EQ(result, (std::vector<std::string>{"R2"}));
    EXPECT_TRUE(dir->isTLEnabled());

    ASSERT_EQ(dir->removeCopy(nullptr), 0);
    EXPECT_FALSE(IndexCacheDirBase::isTLEnabled(dirPath(kTs).c_str()));
    EXPECT_EQ(dir->getRestartStrings({"R2"}, result), 1);
    EXPECT_TRUE(testsupport::exists(f("tree.dat")));
    EXPECT_FALSE(testsupport::exists(f("tree.start.dat")));
    EXPECT_FALSE(testsupport::exists(f("x.trn_0001")));
}

} // namespace
