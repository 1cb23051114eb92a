#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "cachefs/CacheDirArray.h"
#include "cachefs/CleanUpSupport.h"
#include "platform/Env.h"

namespace {

// A cache directory that counts the live objects, to see what the array deletes.
class CountedDir : public JobResultsCacheDir {
public:
    explicit CountedDir(unsigned long timeStamp)
        : CacheFsBase(1, TCacheTypeTape, false),
          JobResultsCacheDir(1, 2, 17, 0, BackupTypeFull, timeStamp, TCacheTypeTape, false) {
        ++alive;
        initialize("client1");
    }
    ~CountedDir() override { --alive; }
    static int alive;
};
int CountedDir::alive = 0;

std::vector<unsigned long> stamps(const CacheDirArray& a) {
    std::vector<unsigned long> out;
    for (int i = 0; i < a.getSize(); ++i)
        out.push_back(a[i]->getTimeStamp());
    return out;
}

struct CacheDirArrayTest : cleanup::Fixture {};

TEST_F(CacheDirArrayTest, GrowsRemovesAndSorts) {
    {
        CacheDirArray a(2048);
        std::vector<IndexCacheDirBase*> added;
        for (int i = 0; i < 2049; ++i) {
            added.push_back(new CountedDir(1000 + static_cast<unsigned long>(i)));
            ASSERT_EQ(a.append(added.back()), 0);
        }
        EXPECT_EQ(a.getCapacity(), 4096);
        for (int i = 0; i < 2049; ++i)
            ASSERT_EQ(a[i], added[i]) << i;
        ASSERT_EQ(a.remove(2046), 0); // deletes its element and closes the gap
        EXPECT_EQ(a.remove(2048), 0); // an invalid index changes nothing
        EXPECT_EQ(CountedDir::alive, 2048);
        EXPECT_EQ(a[2046], added[2047]);
        EXPECT_EQ(a[2047], added[2048]);
    }
    EXPECT_EQ(CountedDir::alive, 0);
    CacheDirArray empty(0);
    ASSERT_EQ(empty.append(nullptr), 0);
    EXPECT_EQ(empty.getCapacity(), 2048);

    // Newest first by time stamp (unsigned: one past 2^31 is the newest) or by
    // access time (no State file: last).
    CacheDirArray byStamp(2048);
    for (unsigned long ts : {100ul, 300ul, 4000000000ul, 200ul})
        byStamp.append(new CountedDir(ts));
    ASSERT_EQ(byStamp.sort(false), 0);
    EXPECT_EQ(stamps(byStamp), (std::vector<unsigned long>{4000000000ul, 300, 200, 100}));
    platform::VirtualClock clock;
    cleanup::layCacheDir(root, 2, "17", 10, -1);
    cleanup::layCacheDir(root, 2, "17", 11, 50);
    cleanup::layCacheDir(root, 2, "17", 12, 40);
    CacheDirArray byAtime(2048);
    for (unsigned long ts : {10ul, 11ul, 12ul})
        byAtime.append(new CountedDir(ts));
    ASSERT_EQ(byAtime.sort(true), 0);
    EXPECT_EQ(stamps(byAtime), (std::vector<unsigned long>{11, 12, 10}));
}

} // namespace
