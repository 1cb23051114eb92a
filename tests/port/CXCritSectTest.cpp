// The in-process critical section and its scoped holder.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "platform/EvEvent.h"
#include "port/CXCritSect.h"

namespace {

// Whether another thread can take the section (and give it back). A thread
// that stays blocked means the section was never released: it is left
// behind and the probe reports false instead of hanging the test.
bool freeForOthers(CXCritSect& cs) {
    auto took = std::make_shared<std::promise<bool>>();
    std::future<bool> result = took->get_future();
    std::thread([&cs, took] {
        const bool ok = cs.lock() == 0 && cs.unlock() == 0;
        took->set_value(ok);
    }).detach();
    return result.wait_for(std::chrono::seconds(20)) == std::future_status::ready && result.get();
}

} // namespace

TEST(CXCritSect, LockIsRecursiveAndUnlockByANonHolderFails) {
    CXCritSect cs;
    EXPECT_EQ(cs.lock(), 0);
    EXPECT_EQ(cs.lock(), 0);
    EXPECT_EQ(cs.unlock(), 0);
    EXPECT_EQ(cs.unlock(), 0);
    EXPECT_EQ(cs.unlock(), -1) << "not held any more";
    EXPECT_TRUE(freeForOthers(cs));
}

TEST(CXCritSect, SecondThreadWaitsForTheHolder) {
    CXCritSect cs;
    ASSERT_EQ(cs.lock(), 0);
    int shared = 0;
    std::thread other([&] {
        cs.lock();
        shared = shared * 10 + 2;
        cs.unlock();
    });
    shared = 1;
    ASSERT_EQ(cs.unlock(), 0);
    other.join();
    EXPECT_EQ(shared, 12) << "the other thread ran only after the holder left";
}

TEST(CXAutoCritSect, HoldsForItsScope) {
    platform::TestSink sink;
    CXCritSect cs;
    {
        CXAutoCritSect hold(&cs, "reserve", true);
        EXPECT_FALSE(hold.failed());
        int rc = -2;
        std::thread([&] { rc = cs.unlock(); }).join();
        EXPECT_EQ(rc, -1) << "held by this thread only";
    }
    EXPECT_TRUE(freeForOthers(cs));
    {
        CXAutoCritSect nothing(&cs, "reserve", false);
        EXPECT_EQ(cs.unlock(), -1) << "a holder asked not to lock holds nothing";
    }
    EXPECT_TRUE(sink.lines().empty());
}

TEST(CXAutoCritSect, FailedUnlockIsLogged) {
    struct Case {
        const char* owner;
        const char* line;
    };
    const Case cases[] = {
        {"release", "AUTOCRITSECT: release: unlock failed with code -1"},
        {nullptr, "AUTOCRITSECT: unlock failed with code -1"},
    };
    for (const Case& c : cases) {
        platform::TestSink sink;
        CXCritSect cs;
        {
            CXAutoCritSect hold(&cs, c.owner, true);
            // Left behind the holder's back: its own unlock then fails.
            ASSERT_EQ(cs.unlock(), 0);
        }
        ASSERT_EQ(sink.lines().size(), 1u);
        EXPECT_EQ(sink.lines()[0].text, c.line);
        EXPECT_EQ(sink.lines()[0].level, 1);
    }
}
