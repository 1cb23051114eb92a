// The in-process critical section and its scoped holder.
#include <gtest/gtest.h>

#include <thread>

#include "port/CXCritSect.h"

TEST(CXCritSect, RecursiveHeldByOneThreadAndReleasedByTheScopedHolder) {
    CXCritSect cs;
    EXPECT_EQ(cs.lock(), 0);
    EXPECT_EQ(cs.lock(), 0);
    int rc = -2;
    std::thread([&] { rc = cs.unlock(); }).join();
    EXPECT_EQ(rc, -1); // held by this thread only
    EXPECT_EQ(cs.unlock(), 0);
    EXPECT_EQ(cs.unlock(), 0);
    EXPECT_EQ(cs.unlock(), -1);
    {
        CXAutoCritSect hold(&cs, "reserve", true);
        EXPECT_FALSE(hold.failed());
        std::thread([&] { rc = cs.unlock(); }).join();
        EXPECT_EQ(rc, -1);
    }
    std::thread([&] { rc = cs.lock() + cs.unlock(); }).join();
    EXPECT_EQ(rc, 0);
    CXAutoCritSect nothing(&cs, "reserve", false);
    EXPECT_EQ(cs.unlock(), -1); // a holder asked not to lock holds nothing
}
