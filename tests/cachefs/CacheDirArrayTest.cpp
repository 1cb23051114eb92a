#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "cachefs/CacheDirArray.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

namespace {

int destroyed = 0;

// A cache directory object that only counts its destruction; it is never
// initialised, so it costs no key-store reads.
class CountedDir : public IndexCacheDirBase {
public:
    explicit CountedDir(int tag)
        : CacheFsBase(1, TCacheTypeTape, false),
          IndexCacheDirBase(1, 2, "17", 0, BackupTypeFull, 0, TCacheTypeTape, false), tag(tag) {}
    ~CountedDir() override { ++destroyed; }
    long getCurrentTime() override { return 0; }
    int cleanUp(unsigned long, bool, bool, bool, unsigned long, const char*, unsigned long,
                unsigned int, const char*, unsigned int) override {
        return 0;
    }
    int scanForCleanUp(CacheDirArray&, bool, unsigned long, const char*, bool) override {
        return 0;
    }
    int cleanUpWithoutScan(CacheDirArray&, unsigned long, bool, bool, bool, unsigned long,
                           const char*, unsigned long, unsigned int, const char*,
                           unsigned int) override {
        return 0;
    }
    int removeDefunctApps() override { return 0; }
    bool isIndexInCache() override { return false; }
    bool checkIntegrity(Enum_IC_IntegrityCheck) override { return false; }
    unsigned long backSearch(unsigned long, bool) override { return 0; }
    bool areComponentsInCache(const char*) override { return false; }
    bool isComponentBasedIndex() override { return false; }
    std::string getCacheDirComp(std::string) override { return std::string(); }
    int backup() override { return 0; }
    void restore(bool, bool) override {}
    bool playBackSelectedItems(std::vector<std::string>&) override { return false; }
    const int tag;
};

int tagOf(const CacheDirArray& array, int i) {
    auto* dir = dynamic_cast<CountedDir*>(array[i]);
    return dir ? dir->tag : -1;
}

std::vector<int> tags(const CacheDirArray& array) {
    std::vector<int> out;
    for (int i = 0; i < array.getSize(); ++i)
        out.push_back(tagOf(array, i));
    return out;
}

bool loggedArrayLine(const platform::TestSink& sink, const std::string& text) {
    for (const platform::CapturedLine& l : sink.lines()) {
        if (l.text == "CDIRARRAY: " + text)
            return true;
    }
    return false;
}

template <typename F> std::string thrown(F&& f) {
    try {
        f();
    } catch (const char* message) {
        return message;
    }
    return "";
}

TEST(CacheDirArrayTest, GrowsBy2048AndKeepsTheOrder) {
    destroyed = 0;
    {
        CacheDirArray array(2048);
        EXPECT_EQ(array.getCapacity(), 2048);
        EXPECT_EQ(array.getSize(), 0);
        for (int i = 0; i < 2049; ++i) {
            EXPECT_EQ(array.append(new CountedDir(i)), 0);
            if (i == 2047) {
                EXPECT_EQ(array.getCapacity(), 2048) << "full, not yet grown";
            }
        }
        EXPECT_EQ(array.getCapacity(), 4096);
        EXPECT_EQ(array.getSize(), 2049);
        std::vector<int> expected(2049);
        for (int i = 0; i < 2049; ++i)
            expected[static_cast<size_t>(i)] = i;
        EXPECT_EQ(tags(array), expected);
    }
    EXPECT_EQ(destroyed, 2049) << "the array owns its elements";

    CacheDirArray empty(0);
    EXPECT_EQ(empty.append(new CountedDir(7)), 0);
    EXPECT_EQ(empty.getCapacity(), 2048);
    EXPECT_EQ(tags(empty), std::vector<int>{7});
}

TEST(CacheDirArrayTest, RemoveDeletesAndClosesTheGapOrLogsAnInvalidIndex) {
    destroyed = 0;
    CacheDirArray array(4);
    for (int i = 0; i < 4; ++i)
        array.append(i == 2 ? nullptr : new CountedDir(i));

    platform::TestSink sink;
    for (int bad : {-1, 4, 100}) {
        EXPECT_EQ(array.remove(bad), 0);
        EXPECT_TRUE(loggedArrayLine(
            sink, "CacheDirArray::remove(): invalid index=" + std::to_string(bad) + " for size=4"))
            << bad;
    }
    EXPECT_EQ(tags(array), (std::vector<int>{0, 1, -1, 3}));
    EXPECT_EQ(destroyed, 0);

    EXPECT_EQ(array.remove(1), 0);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(tags(array), (std::vector<int>{0, -1, 3}));
    EXPECT_EQ(array.remove(1), 0) << "a null element is removed without a delete";
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(array.remove(1), 0) << "the last element";
    EXPECT_EQ(tags(array), std::vector<int>{0});
    EXPECT_EQ(destroyed, 2);
}

TEST(CacheDirArrayTest, DestroyingDeletesEveryNonNullElement) {
    destroyed = 0;
    {
        CacheDirArray array(2048);
        array.append(new CountedDir(1));
        array.append(nullptr);
        array.append(new CountedDir(2));
    }
    EXPECT_EQ(destroyed, 2);
}

struct CacheDirArraySortTest : CacheDirFixture {
    // Directories of application 17 with the given time stamps; a null State
    // text leaves the directory without a State file.
    std::unique_ptr<CacheDirArray>
    build(const std::vector<std::pair<unsigned long, const char*>>& dirs) {
        auto array = std::make_unique<CacheDirArray>(2048);
        for (const auto& d : dirs) {
            mkdirs(dirPath(d.first));
            if (d.second)
                testsupport::writeFile(statePath(d.first), d.second);
            array->append(make(d.first).release());
        }
        return array;
    }
    static std::vector<unsigned long> timeStamps(const CacheDirArray& array) {
        std::vector<unsigned long> out;
        for (int i = 0; i < array.getSize(); ++i)
            out.push_back(array[i]->getTimeStamp());
        return out;
    }
};

TEST_F(CacheDirArraySortTest, NewestTimeStampFirst) {
    auto array = build({{100, nullptr}, {300, nullptr}, {200, nullptr}, {4000000000UL, nullptr}});
    platform::TestSink sink;
    EXPECT_EQ(array->sort(false), 0);
    // Time stamps compare as unsigned numbers: one past 2^31 is still the newest.
    EXPECT_EQ(timeStamps(*array), (std::vector<unsigned long>{4000000000UL, 300, 200, 100}));
    EXPECT_TRUE(loggedArrayLine(sink, "Sorting cache dirs, useAccessTime=0"));
    EXPECT_TRUE(loggedArrayLine(sink, "Finished sorting cache dirs"));
}

TEST_F(CacheDirArraySortTest, MostRecentAccessFirstAndUnreadableLast) {
    // Access times 0 (no State file), 50 and 40; time stamps in the other order.
    auto array = build({{10, nullptr}, {20, "0\n50    \n"}, {30, "0\n40    \n"}});
    platform::VirtualClock clock; // the unreadable one is retried
    platform::TestSink sink;
    EXPECT_EQ(array->sort(true), 0);
    EXPECT_EQ(timeStamps(*array), (std::vector<unsigned long>{20, 30, 10}));
    std::vector<unsigned long> atimes;
    for (int i = 0; i < array->getSize(); ++i)
        atimes.push_back((*array)[i]->getAtime());
    EXPECT_EQ(atimes, (std::vector<unsigned long>{50, 40, 0}));
    EXPECT_TRUE(loggedArrayLine(sink, "Sorting cache dirs, useAccessTime=1"));
    EXPECT_EQ(clock.waits(), std::vector<unsigned long>(9, 1000)) << "read once per directory";

    EXPECT_EQ(array->sort(false), 0);
    EXPECT_EQ(timeStamps(*array), (std::vector<unsigned long>{30, 20, 10}));
}

TEST_F(CacheDirArraySortTest, ComparatorsOverArraySlots) {
    auto array = build({{100, "0\n500    \n"}, {200, "0\n500    \n"}});
    IndexCacheDirBase* a = (*array)[0];
    IndexCacheDirBase* b = (*array)[1];
    IndexCacheDirBase* none = nullptr;
    EXPECT_EQ(atimeCompare(&a, &b), 0) << "equal access times";
    EXPECT_EQ(timeStampCompare(&a, &b), 1) << "a is older";
    EXPECT_EQ(timeStampCompare(&b, &a), -1);
    EXPECT_EQ(timeStampCompare(&a, &a), 0);

    platform::TestSink sink;
    EXPECT_EQ(thrown([&] { atimeCompare(&a, &none); }), "atimeCompare() failed");
    EXPECT_EQ(thrown([&] { timeStampCompare(&none, &b); }), "timeStampCompare() failed");
    EXPECT_TRUE(sink.hasLine("ATIMECOMPARE: null cache dir"));
    EXPECT_TRUE(sink.hasLine("TIMESTAMPCOMPARE: null cache dir"));
}

TEST_F(CacheDirArraySortTest, AFailedComparisonFailsTheSort) {
    for (bool useAccessTime : {true, false}) {
        auto array = build({{100, "0\n500    \n"}, {200, "0\n600    \n"}});
        array->append(nullptr);
        platform::TestSink sink;
        EXPECT_EQ(thrown([&] { array->sort(useAccessTime); }), "sort failed");
        const std::string failed =
            useAccessTime ? "atimeCompare() failed" : "timeStampCompare() failed";
        EXPECT_TRUE(sink.hasLine("CDIRARRAY: sort(): " + failed + ": errno=")) << failed;
        EXPECT_FALSE(loggedArrayLine(sink, "Finished sorting cache dirs"));
        EXPECT_EQ(array->getSize(), 3) << "every element is still held";
    }
}

} // namespace
