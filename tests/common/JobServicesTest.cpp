#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/JobServices.h"
#include "platform/EvEvent.h"
#include "platform/OXJobClient.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

struct JobServicesTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;

    void SetUp() override { KeyStore::set(kWardenSection, "HostName", "ws"); }

    std::string jobsLog() const { return testsupport::readFile(home.path() + "/logs/jobs.log"); }
};

TEST_F(JobServicesTest, ClientIsInitialisedWithWardenJobAndPlatformType) {
    OXJobClient* client = getJobClientObject(55, 2);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->getWarden(), "ws");
    EXPECT_EQ(client->getJobId(), 55);
    EXPECT_NE(jobsLog().find(" INIT job=55 warden=ws platform=2\n"), std::string::npos);
    EXPECT_TRUE(sink.lines().empty());

    EXPECT_TRUE(destroyJobClientObject(&client));
    EXPECT_EQ(client, nullptr);
    EXPECT_FALSE(destroyJobClientObject(&client));
    EXPECT_FALSE(destroyJobClientObject(nullptr));
}

TEST_F(JobServicesTest, NoClientWithoutWardenOrWhenInitFails) {
    KeyStore::set(platform::kPlatformSection, "PlatformKinds", "0");
    EXPECT_EQ(getJobClientObject(55, 2), nullptr);
    EXPECT_EQ(jobsLog(), "") << "no controller is contacted without a central server";
    EXPECT_FALSE(sink.hasLine("getJobClientObject"));

    KeyStore::set(platform::kPlatformSection, "PlatformKinds", "7");
    KeyStore::set(kJobsSection, "-9", "unknown");
    sink.clear();
    EXPECT_EQ(getJobClientObject(-9, 1), nullptr);
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_EQ(sink.lines()[0].text, "getJobClientObject: job object init failed (Warden=ws, "
                                    "jobId=-9)");
    EXPECT_EQ(sink.lines()[0].level, 1);
}

TEST_F(JobServicesTest, NoParamPendingCauseMessageTypeFollowsThePlatformType) {
    struct Case {
        int platformType;
        int messageType;
    } cases[] = {{2, 150}, {1, 300}, {4, 300}, {0, 300}, {3, 300}};
    long long job = 100;
    for (const Case& c : cases) {
        sink.clear();
        EXPECT_TRUE(NoParamSetPendingCause(job, c.platformType, 0x0E00007B));
        auto causes = sink.pendingCauses();
        ASSERT_EQ(causes.size(), 1u) << c.platformType;
        EXPECT_EQ(causes[0].jobId, job);
        EXPECT_EQ(causes[0].messageId, 0x0E00007Bu);
        EXPECT_EQ(causes[0].messageType, c.messageType);
        EXPECT_TRUE(causes[0].args.empty());
        char line[96];
        std::snprintf(line, sizeof line, " PENDING job=%lld msg=0x0E00007B type=%d args=0\n", job,
                      c.messageType);
        EXPECT_NE(jobsLog().find(line), std::string::npos) << line;
        ++job;
    }
}

TEST_F(JobServicesTest, NoParamPendingCauseReportsFailure) {
    KeyStore::set(kJobsSection, "7", "frozen");
    KeyStore::set(kJobsSection, "8", "unknown");
    EXPECT_FALSE(NoParamSetPendingCause(7, 2, 0x0E00007B)) << "the job refused the cause";
    EXPECT_FALSE(NoParamSetPendingCause(8, 2, 0x0E00007B)) << "no job client";
    KeyStore::set(platform::kPlatformSection, "PlatformKinds", "0");
    EXPECT_FALSE(NoParamSetPendingCause(9, 2, 0x0E00007B)) << "no central server";
    EXPECT_TRUE(sink.pendingCauses().empty());
    EXPECT_EQ(jobsLog().find("PENDING"), std::string::npos);
}

TEST_F(JobServicesTest, PendingCauseOnAHeldClientPassesTheMessageType) {
    EXPECT_FALSE(setPendingCause(nullptr, 0x0E000001, 150));
    OXJobClient* client = getJobClientObject(31, OXS_PLATFORMTYPE);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(setPendingCause(client, 0x0E000002, 150));
    EXPECT_TRUE(setPendingCause(client, 0x0E000003, 77));
    auto causes = sink.pendingCauses();
    ASSERT_EQ(causes.size(), 2u);
    EXPECT_EQ(causes[0].messageId, 0x0E000002u);
    EXPECT_EQ(causes[0].messageType, 150);
    EXPECT_EQ(causes[1].messageId, 0x0E000003u);
    EXPECT_EQ(causes[1].messageType, 77);
    EXPECT_EQ(causes[1].jobId, 31);
    EXPECT_NE(jobsLog().find(" INIT job=31 warden=ws platform=2\n"), std::string::npos)
        << "a storage-node process by default";
    destroyJobClientObject(&client);
}

} // namespace
