#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "cachefs/CleanUpSupport.h"
#include "platform/Env.h"

namespace {

using cleanup::hasExactLine;

// A cache directory that counts the live objects, to see what the array deletes.
class CountedDir : public JobResultsCacheDir {
public:
    explicit CountedDir(unsigned long timeStamp)
        : CacheFsBase(1, TCacheTypeTape, false),
          JobResultsCacheDir(1, 2, 17, 0, BackupTypeFull, timeStamp, TCacheTypeTape, false) {
        ++alive;
    }
    ~CountedDir() override { --alive; }
    static int alive;
};
int CountedDir::alive = 0;

struct CacheDirArrayTest : cleanup::Fixture {
    void TearDown() override { EXPECT_EQ(CountedDir::alive, 0) << "an element was leaked"; }

    CountedDir* make(unsigned long timeStamp) {
        auto* dir = new CountedDir(timeStamp);
        dir->initialize("client1");
        return dir;
    }
    static std::vector<unsigned long> stamps(const CacheDirArray& a) {
        std::vector<unsigned long> out;
        for (int i = 0; i < a.getSize(); ++i)
            out.push_back(a[i]->getTimeStamp());
        return out;
    }
};

TEST_F(CacheDirArrayTest, GrowsByWholeStepsAndKeepsTheOrder) {
    CacheDirArray a(2048);
    EXPECT_EQ(a.getCapacity(), 2048);
    std::vector<IndexCacheDirBase*> added;
    for (int i = 0; i < 2049; ++i) {
        // A distinct element in every slot, so that a slot lost or moved by
        // the growth shows.
        IndexCacheDirBase* e = make(1000 + static_cast<unsigned long>(i));
        ASSERT_EQ(a.append(e), 0);
        added.push_back(e);
        EXPECT_EQ(a.getCapacity(), i < 2048 ? 2048 : 4096) << i;
    }
    ASSERT_EQ(a.getSize(), 2049);
    for (int i = 0; i < 2049; ++i)
        ASSERT_EQ(a[i], added[i]) << i;
    EXPECT_EQ(CountedDir::alive, 2049);

    // A removal deletes its element and closes the gap.
    ASSERT_EQ(a.remove(2046), 0);
    EXPECT_EQ(CountedDir::alive, 2048);
    EXPECT_EQ(a.getSize(), 2048);
    EXPECT_EQ(a[2046], added[2047]);
    EXPECT_EQ(a[2047], added[2048]);

    // An array made with no slots grows on its first append.
    CacheDirArray empty(0);
    ASSERT_EQ(empty.append(nullptr), 0);
    EXPECT_EQ(empty.getCapacity(), 2048);
}

TEST_F(CacheDirArrayTest, InvalidIndexIsLoggedAndChangesNothing) {
    CacheDirArray a(4);
    a.append(make(100));
    a.append(make(200));
    platform::TestSink sink;
    EXPECT_EQ(a.remove(-1), 0);
    EXPECT_EQ(a.remove(2), 0);
    EXPECT_TRUE(
        hasExactLine(sink, "CDIRARRAY: CacheDirArray::remove(): invalid index=-1 for size=2", 1));
    EXPECT_TRUE(
        hasExactLine(sink, "CDIRARRAY: CacheDirArray::remove(): invalid index=2 for size=2", 1));
    EXPECT_EQ(stamps(a), (std::vector<unsigned long>{100, 200}));
    EXPECT_EQ(CountedDir::alive, 2);
}

TEST_F(CacheDirArrayTest, SortsNewestFirstByTimeStampOrByAccessTime) {
    {
        CacheDirArray a(2048);
        for (unsigned long ts : {100ul, 300ul, 4000000000ul, 200ul})
            a.append(make(ts));
        platform::TestSink sink;
        ASSERT_EQ(a.sort(false), 0);
        // Time stamps compare as unsigned 64-bit numbers: one past 2^31 is
        // still the newest.
        EXPECT_EQ(stamps(a), (std::vector<unsigned long>{4000000000ul, 300, 200, 100}));
        EXPECT_TRUE(hasExactLine(sink, "CDIRARRAY: Sorting cache dirs, useAccessTime=0", 3));
        EXPECT_TRUE(hasExactLine(sink, "CDIRARRAY: Finished sorting cache dirs", 3));
    }
    // Access times 0 (no State file), 50 and 40 on directories 10, 11, 12:
    // the most recently accessed first, the unreadable one last.
    platform::VirtualClock clock;
    cleanup::layCacheDir(root, 2, "17", 10, -1);
    cleanup::layCacheDir(root, 2, "17", 11, 50);
    cleanup::layCacheDir(root, 2, "17", 12, 40);
    CacheDirArray a(2048);
    for (unsigned long ts : {10ul, 11ul, 12ul})
        a.append(make(ts));
    platform::TestSink sink;
    ASSERT_EQ(a.sort(true), 0);
    EXPECT_EQ(stamps(a), (std::vector<unsigned long>{11, 12, 10}));
    EXPECT_EQ(a[0]->getAtime(), 50ul);
    EXPECT_EQ(a[1]->getAtime(), 40ul);
    EXPECT_EQ(a[2]->getAtime(), 0ul);
    EXPECT_TRUE(hasExactLine(sink, "CDIRARRAY: Sorting cache dirs, useAccessTime=1", 3));
}

// The comparators are called as qsort calls them, with pointers to two slots,
// and answer negative, zero or positive.
TEST_F(CacheDirArrayTest, ComparatorsOverArraySlots) {
    cleanup::layCacheDir(root, 2, "17", 100, 500);
    cleanup::layCacheDir(root, 2, "17", 200, 500);
    cleanup::layCacheDir(root, 2, "17", 300, 600);
    CacheDirArray array(2048);
    for (unsigned long ts : {100ul, 200ul, 300ul})
        array.append(make(ts));
    IndexCacheDirBase* a = array[0];
    IndexCacheDirBase* b = array[1];
    IndexCacheDirBase* c = array[2];
    EXPECT_GT(timeStampCompare(&a, &b), 0) << "a is older";
    EXPECT_LT(timeStampCompare(&b, &a), 0);
    EXPECT_EQ(timeStampCompare(&a, &a), 0);
    EXPECT_EQ(atimeCompare(&a, &b), 0) << "equal access times";
    EXPECT_GT(atimeCompare(&a, &c), 0) << "c was accessed later";
    EXPECT_LT(atimeCompare(&c, &a), 0);

    IndexCacheDirBase* none = nullptr;
    auto raised = [](auto&& compare) {
        try {
            compare();
        } catch (const char* message) {
            return std::string(message);
        }
        return std::string();
    };
    EXPECT_EQ(raised([&] { atimeCompare(&a, &none); }), "atimeCompare() failed");
    EXPECT_EQ(raised([&] { timeStampCompare(&none, &b); }), "timeStampCompare() failed");
}

TEST_F(CacheDirArrayTest, AFailedComparisonFailsTheSort) {
    for (bool useAccessTime : {false, true}) {
        CacheDirArray a(2048);
        a.append(make(100));
        a.append(nullptr);
        a.append(make(300));
        platform::TestSink sink;
        std::string raised;
        try {
            a.sort(useAccessTime);
        } catch (const char* message) {
            raised = message;
        }
        EXPECT_EQ(raised, "sort failed");
        const std::string kind = useAccessTime ? "atimeCompare" : "timeStampCompare";
        EXPECT_TRUE(hasExactLine(sink, useAccessTime ? "ATIMECOMPARE: null cache dir"
                                                     : "TIMESTAMPCOMPARE: null cache dir"));
        EXPECT_TRUE(sink.hasLine("CDIRARRAY: sort(): " + kind + "() failed: errno="));
        EXPECT_FALSE(sink.hasLine("Finished sorting"));
    }
}

TEST_F(CacheDirArrayTest, DestroyingTheArrayDeletesItsElements) {
    {
        CacheDirArray a(2048);
        a.append(make(100));
        a.append(make(200));
        EXPECT_EQ(CountedDir::alive, 2);
    }
    EXPECT_EQ(CountedDir::alive, 0);
}

} // namespace
