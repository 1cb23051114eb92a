// Warden, host and client identity, and pending causes sent through a job client.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/HostServices.h"
#include "common/JobServices.h"
#include "platform/EvEvent.h"
#include "platform/OXClient.h"
#include "platform/OXJobClient.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>; // section, key=value

// A fresh home holding the keys (section, "key=value") for one case.
struct Keyed {
    testsupport::ScratchHome home;
    explicit Keyed(const Keys& keys) {
        KeyStore::set(platform::kPlatformSection, "PhysicalMachine", "pm");
        KeyStore::set(platform::kPlatformSection, "FocusClient", "fc");
        for (const auto& [section, kv] : keys)
            KeyStore::set(section, kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
    }
};

const std::string P = platform::kPlatformSection, W = kWardenSection;

TEST(HostServicesTest, WardenIsAskedOfKindsFourTwoOneInOrder) {
    const std::vector<std::pair<Keys, std::string>> cases = {
        {{}, "pm"},
        {{{W, "HostName.4=w4"}, {W, "HostName.2=w2"}}, "w4"},
        {{{W, "HostName.4="}, {W, "HostName.2=w2"}, {W, "HostName.1=w1"}}, "w2"},
        {{{W, "HostName=" + std::string(300, 'h')}}, std::string(256, 'h')},
    };
    for (const auto& [keys, expected] : cases) {
        Keyed k(keys);
        EXPECT_EQ(getWarden(), expected);
    }
}

TEST(HostServicesTest, HostNameAndClientIdOfTheClientFocusOrMachine) {
    const std::string H = kHostsSection, C = kClientsSection;
    struct Case {
        const char* client;
        bool returnClientName, mangled;
        Keys keys;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"cl1", true, false, {{H, "cl1=h1"}}, "cl1"},
        {nullptr, true, false, {}, "fc"},
        {"", true, false, {{P, "FocusClient="}}, "pm"},
        {"cl1", false, true, {{H, "cl1=h1.example"}}, "h1.example*cl1*8400*8402"},
        {nullptr, false, false, {{P, "FocusClient="}, {H, "pm=hp"}}, "hp"},
        {"cl1", false, false, {{H, "cl1=" + std::string(255, 'x')}}, std::string(255, 'x')},
        {"cl1", false, false, {{H, "cl1=" + std::string(256, 'x')}}, ""},
    };
    for (const Case& c : cases) {
        Keyed k(c.keys);
        EXPECT_EQ(getMyHostName(c.client, c.returnClientName, c.mangled), c.expected);
    }
    const std::vector<std::tuple<const char*, Keys, unsigned long>> ids = {
        {"cl1", {{C, "cl1=42"}}, 42},
        {nullptr, {{C, "fc=77"}}, 77},
        {"cl1", {{C, "cl1=!5"}}, 0},
        {nullptr, {{P, "FocusClient="}, {P, "PhysicalMachine="}}, 0},
    };
    for (const auto& [client, keys, expected] : ids) {
        Keyed k(keys);
        EXPECT_EQ(getMyClientId(client), expected);
    }
    // Unconfigured clients have stable, distinct ids.
    Keyed k({});
    const unsigned long a = getMyClientId("alpha");
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, getMyClientId("beta"));
}

TEST(JobServicesTest, PendingCausesGoThroughAJobClientOfTheWarden) {
    Keyed k({{W, "HostName=ws"}, {kJobsSection, "7=frozen"}, {kJobsSection, "8=unknown"}});
    platform::TestSink sink;
    OXJobClient* client = getJobClientObject(55, 2);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->getWarden(), "ws");
    EXPECT_TRUE(setPendingCause(client, 0x0E000003, 77));
    EXPECT_FALSE(setPendingCause(nullptr, 0x0E000001, 150));
    EXPECT_TRUE(destroyJobClientObject(&client));
    EXPECT_EQ(client, nullptr);
    EXPECT_FALSE(destroyJobClientObject(&client));
    // Without parameters the message type follows the platform type.
    for (auto [platformType, messageType] : std::vector<std::pair<int, int>>{{2, 150}, {1, 300}})
        EXPECT_TRUE(NoParamSetPendingCause(100 + platformType, platformType, 0x0E00007B));
    EXPECT_FALSE(NoParamSetPendingCause(7, 2, 0x0E00007B)); // the job refused the cause
    EXPECT_FALSE(NoParamSetPendingCause(8, 2, 0x0E00007B)); // no job client
    std::vector<std::tuple<long long, unsigned int, int>> causes;
    for (const auto& c : sink.pendingCauses())
        causes.emplace_back(c.jobId, c.messageId, c.messageType);
    EXPECT_EQ(causes,
              (std::vector<std::tuple<long long, unsigned int, int>>{
                  {55, 0x0E000003u, 77}, {102, 0x0E00007Bu, 150}, {101, 0x0E00007Bu, 300}}));
    EXPECT_NE(testsupport::readFile(k.home.path() + "/logs/jobs.log")
                  .find(" PENDING job=102 msg=0x0E00007B type=150 args=0\n"),
              std::string::npos);
    KeyStore::set(P, "PlatformKinds", "0");
    EXPECT_EQ(getJobClientObject(55, 2), nullptr); // no central server
}

} // namespace
