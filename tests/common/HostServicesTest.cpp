#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "common/HostServices.h"
#include "platform/EvEvent.h"
#include "platform/OXClient.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>; // key, value

struct HostServicesTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;

    void SetUp() override {
        KeyStore::set(platform::kPlatformSection, "PhysicalMachine", "pm");
        KeyStore::set(platform::kPlatformSection, "FocusClient", "fc");
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const platform::CapturedLine& l : sink.lines())
            out.push_back(l.text);
        return out;
    }
};

const std::string kTry = "getWarden: cannot obtain Warden name for platform ";

TEST_F(HostServicesTest, WardenIsAskedOfKindsFourTwoOneInOrder) {
    struct Case {
        const char* name;
        std::string kinds; // PlatformKinds, "" for the default
        Keys warden;
        std::string expected;
        std::vector<std::string> lines;
    } cases[] = {
        {"fresh home: this machine", "", {}, "pm", {}},
        {"shared name", "", {{"HostName", "ws"}}, "ws", {}},
        {"kind 4 first", "", {{"HostName.4", "w4"}, {"HostName.2", "w2"}}, "w4", {}},
        {"kind 4 has none",
         "",
         {{"HostName.4", ""}, {"HostName.2", "w2"}, {"HostName.1", "w1"}},
         "w2",
         {kTry + "4 - trying next platform"}},
        {"only a client installed",
         "1",
         {{"HostName", "w"}},
         "w",
         {kTry + "4 - trying next platform", kTry + "2 - trying next platform"}},
        {"nothing installed",
         "0",
         {{"HostName", "w"}},
         "",
         {kTry + "4 - trying next platform", kTry + "2 - trying next platform",
          kTry + "1 - giving up"}},
        {"no kind names it",
         "",
         {{"HostName", ""}},
         "",
         {kTry + "4 - trying next platform", kTry + "2 - trying next platform",
          kTry + "1 - giving up"}},
        {"long names are cut at 256",
         "",
         {{"HostName", std::string(300, 'h')}},
         std::string(256, 'h'),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome caseHome;
        SetUp();
        if (!c.kinds.empty())
            KeyStore::set(platform::kPlatformSection, "PlatformKinds", c.kinds);
        for (const auto& kv : c.warden)
            KeyStore::set(kWardenSection, kv.first, kv.second);
        sink.clear();
        EXPECT_EQ(getWarden(), c.expected);
        EXPECT_EQ(texts(), c.lines);
        for (const platform::CapturedLine& l : sink.lines())
            EXPECT_EQ(l.level, 1);
    }
}

TEST_F(HostServicesTest, MangledWardenNeedsHostAndClientNameOfOneKind) {
    struct Case {
        const char* name;
        Keys warden;
        std::string expected;
        size_t lines;
    } cases[] = {
        {"fresh home: this machine and the focus client", {}, "pm*fc*8400*8402", 0},
        {"configured", {{"HostName", "wh"}, {"ClientName", "wc"}}, "wh*wc*8400*8402", 0},
        {"kind 4 lacks the client name",
         {{"HostName.4", "h4"}, {"ClientName.4", ""}, {"HostName.2", "h2"}, {"ClientName.2", "c2"}},
         "h2*c2*8400*8402",
         1},
        {"no client name anywhere", {{"HostName", "wh"}, {"ClientName", ""}}, "", 3},
        {"no host name anywhere", {{"HostName", ""}, {"ClientName", "wc"}}, "", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome caseHome;
        SetUp();
        for (const auto& kv : c.warden)
            KeyStore::set(kWardenSection, kv.first, kv.second);
        sink.clear();
        EXPECT_EQ(getWardenMangled(), c.expected);
        EXPECT_EQ(sink.lines().size(), c.lines);
    }
    EXPECT_TRUE(sink.hasLine(kTry + "1 - giving up"));
}

TEST_F(HostServicesTest, TempDirIsMadeWhenMissing) {
    EXPECT_EQ(getMyTempDir(), home.path() + "/tmp");
    EXPECT_TRUE(testsupport::exists(home.path() + "/tmp"));

    std::string nested = home.path() + "/a/b/c";
    KeyStore::set(platform::kPlatformSection, "TempDir", nested);
    mode_t old = ::umask(022);
    std::string got = getMyTempDir();
    ::umask(old);
    EXPECT_EQ(got, nested);
    struct stat st;
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // An existing directory is left as it is.
    ASSERT_EQ(::chmod(nested.c_str(), 0700), 0);
    EXPECT_EQ(getMyTempDir(), nested);
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    KeyStore::set(platform::kPlatformSection, "TempDir", "-");
    EXPECT_EQ(getMyTempDir(), "");
}

TEST_F(HostServicesTest, HostNameOfTheClientFocusOrMachine) {
    struct Case {
        const char* name;
        const char* clientName;
        bool returnClientName;
        bool mangled;
        Keys platformKeys;
        Keys hosts;
        std::string expected;
        std::vector<std::string> lines;
    } cases[] = {
        {"client name itself", "cl1", true, false, {}, {{"cl1", "h1"}}, "cl1", {}},
        {"null name: focus client", nullptr, true, false, {}, {}, "fc", {}},
        {"empty name: focus client", "", true, false, {}, {}, "fc", {}},
        {"no focus client: physical machine",
         "",
         true,
         false,
         {{"FocusClient", ""}},
         {},
         "pm",
         {"MYHOSTNAME: WARNING: no focus client name - defaulting to physical machine 'pm'"}},
        {"host named like the client", "cl1", false, false, {}, {}, "cl1", {}},
        {"configured host", "cl1", false, false, {}, {{"cl1", "h1.example"}}, "h1.example", {}},
        {"mangled host",
         "cl1",
         false,
         true,
         {},
         {{"cl1", "h1.example"}},
         "h1.example*cl1*8400*8402",
         {}},
        {"host of the focus client", nullptr, false, false, {}, {{"fc", "hf"}}, "hf", {}},
        {"host of the physical machine",
         nullptr,
         false,
         false,
         {{"FocusClient", ""}},
         {{"pm", "hp"}},
         "hp",
         {"MYHOSTNAME: WARNING: no focus client name - defaulting to physical machine 'pm'"}},
        {"unknown host",
         "cl1",
         false,
         false,
         {},
         {{"cl1", ""}},
         "",
         {"MYHOSTNAME: ERROR: cannot determine hostname for 'cl1'"}},
        {"unknown mangled host",
         "cl1",
         false,
         true,
         {},
         {{"cl1", ""}},
         "",
         {"MYHOSTNAME: ERROR: cannot determine mangled hostname for 'cl1'"}},
        {"host of 255 characters fits",
         "cl1",
         false,
         false,
         {},
         {{"cl1", std::string(255, 'x')}},
         std::string(255, 'x'),
         {}},
        {"host of 256 characters does not fit",
         "cl1",
         false,
         false,
         {},
         {{"cl1", std::string(256, 'x')}},
         "",
         {"MYHOSTNAME: ERROR: cannot determine hostname for 'cl1'"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome caseHome;
        SetUp();
        for (const auto& kv : c.platformKeys)
            KeyStore::set(platform::kPlatformSection, kv.first, kv.second);
        for (const auto& kv : c.hosts)
            KeyStore::set(kHostsSection, kv.first, kv.second);
        sink.clear();
        EXPECT_EQ(getMyHostName(c.clientName, c.returnClientName, c.mangled), c.expected);
        EXPECT_EQ(texts(), c.lines);
        for (const platform::CapturedLine& l : sink.lines())
            EXPECT_EQ(l.level, 1);
    }
}

TEST_F(HostServicesTest, ClientIdOrZeroWithTheReason) {
    struct Case {
        const char* name;
        const char* clientName;
        Keys platformKeys;
        Keys clients;
        unsigned long expected;
        std::vector<std::string> lines;
    } cases[] = {
        {"configured id", "cl1", {}, {{"cl1", "42"}}, 42, {}},
        {"focus client's id", nullptr, {}, {{"fc", "77"}}, 77, {}},
        {"platform error",
         "cl1",
         {},
         {{"cl1", "!5"}},
         0,
         {"MYCLIENTID: getClientId failed, code 5, client name 'cl1'"}},
        {"zero id",
         "cl1",
         {},
         {{"cl1", "0"}},
         0,
         {"MYCLIENTID: getClientId failed, zero value, client name 'cl1'"}},
        {"no client name at all",
         nullptr,
         {{"FocusClient", ""}, {"PhysicalMachine", ""}},
         {},
         0,
         {"MYHOSTNAME: WARNING: no focus client name - defaulting to physical machine ''",
          "MYCLIENTID: getMyClientName (short name) failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchHome caseHome;
        SetUp();
        for (const auto& kv : c.platformKeys)
            KeyStore::set(platform::kPlatformSection, kv.first, kv.second);
        for (const auto& kv : c.clients)
            KeyStore::set(kClientsSection, kv.first, kv.second);
        sink.clear();
        EXPECT_EQ(getMyClientId(c.clientName), c.expected);
        EXPECT_EQ(texts(), c.lines);
    }
}

TEST_F(HostServicesTest, UnconfiguredClientsHaveStableDistinctIds) {
    unsigned long a = getMyClientId("alpha");
    unsigned long b = getMyClientId("beta");
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(getMyClientId("alpha"), a);
    EXPECT_EQ(testsupport::runInChild([a] { return getMyClientId("alpha") == a ? 0 : 1; }), 0);
    EXPECT_TRUE(sink.lines().empty());
}

} // namespace
