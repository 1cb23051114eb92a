// Operations that never raise stop whatever a host's virtual operation throws
// at their boundary, and the State file's first line keeps its length.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"

namespace {

constexpr unsigned long kTs = 1700000000;

// Its backup and restore raise whatever the test asks for.
struct RaisingDir : CacheDirProbe {
    explicit RaisingDir(std::function<void()> raise)
        : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(0), raise_(std::move(raise)) {}
    int backup() override { return raise_(), 0; }
    void restore(bool, bool) override { raise_(); }
    std::function<void()> raise_;
};

using DefinedFailureTest = CacheDirFixture;

TEST_F(DefinedFailureTest, WhatAHostOperationThrowsEndsAtTheBoundary) {
    struct Case {
        std::function<void()> raise;
        const char* text;
    };
    const Case cases[] = {
        {[] { throw std::bad_alloc(); }, "out of memory"},
        {[] { throw std::runtime_error("tape offline"); }, "tape offline"},
        {[] { throw 42; }, "unknown exception"},
    };
    platform::VirtualClock clock(kTs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        deleteDir(root.c_str());
        platform::TestSink sink;
        RaisingDir opener(c.raise); // not cached: open restores it
        opener.initialize("client1");
        EXPECT_EQ(opener.open(250, true), nullptr);
        EXPECT_TRUE(sink.hasLine(std::string("open(): ") + c.text + ": errno="));

        RaisingDir writer(c.raise); // close hands the index to backup
        writer.initialize("client1");
        ASSERT_NE(writer.create(0), nullptr);
        EXPECT_EQ(writer.close(false), -1);
        EXPECT_TRUE(sink.hasLine(std::string("close(): index backup failed: ") + c.text));
        EXPECT_EQ(testsupport::readFile(statePath(kTs)).substr(0, 2), "1\n") << "suspended";
    }
}

TEST_F(DefinedFailureTest, SetStateRefusesAValueOfAnotherLength) {
    auto dir = lifecycle::openForWriting(*this, kTs);
    ASSERT_TRUE(dir);
    const std::string before = testsupport::readFile(statePath(kTs));
    for (int state : {10, -1}) {
        EXPECT_THROW(dir->setState(state), const char*);
        EXPECT_EQ(dir->getErrno(), EINVAL);
    }
    EXPECT_EQ(testsupport::readFile(statePath(kTs)), before);
}

} // namespace
