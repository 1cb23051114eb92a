#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/IdxDisconnect.h"
#include "platform/COxNetwork.h"
#include "platform/EvEvent.h"
#include "support/TestSupport.h"

namespace {

// A scripted peer: each receive takes the next step; when the script is used
// up the peer falls silent (time-out).
class ScriptedNetwork : public COxNetwork {
public:
    struct Step {
        int rc;
        unsigned long type;
    };

    explicit ScriptedNetwork(std::vector<Step> script, int disconnectRc = 0)
        : script_(std::move(script)), disconnectRc_(disconnectRc) {}

    int receive(void* buffer, std::size_t size, int timeoutSeconds) override {
        timeouts.push_back(static_cast<int>(timeoutSeconds));
        sizes.push_back(size);
        const unsigned char* b = static_cast<const unsigned char*>(buffer);
        for (std::size_t i = 0; i < size; ++i)
            dirtyBuffers += b[i] != 0;
        if (next_ >= script_.size())
            return kReceiveTimeout;
        Step s = script_[next_++];
        if (s.rc == 0) {
            std::memcpy(buffer, &s.type, sizeof s.type);
            std::memset(static_cast<char*>(buffer) + sizeof s.type, 0x5A, size - sizeof s.type);
        }
        return s.rc;
    }
    unsigned long getMessageType(const void* buffer) const override {
        unsigned long t;
        std::memcpy(&t, buffer, sizeof t);
        return t;
    }
    void freeMessage(void* buffer) override { freed.push_back(getMessageType(buffer)); }
    int ReplyDisconnect(int timeoutSeconds) override {
        calls.push_back("ReplyDisconnect(" + std::to_string(timeoutSeconds) + ")");
        return 0;
    }
    int Disconnect(int timeoutSeconds) override {
        calls.push_back("Disconnect(" + std::to_string(timeoutSeconds) + ")");
        return disconnectRc_;
    }
    const char* getErrorText() const override { return "peer gone"; }
    void reset() override { calls.push_back("reset"); }
    void disconnectEventLog() override { calls.push_back("disconnectEventLog"); }

    std::vector<int> timeouts;
    std::vector<std::size_t> sizes;
    std::vector<unsigned long> freed;
    std::vector<std::string> calls;
    std::size_t dirtyBuffers = 0;

private:
    std::vector<Step> script_;
    std::size_t next_ = 0;
    int disconnectRc_;
};

struct IdxDisconnectTest : ::testing::Test {
    testsupport::ScratchHome home;
    platform::TestSink sink;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const platform::CapturedLine& l : sink.lines())
            out.push_back(l.text);
        return out;
    }
};

constexpr unsigned long kOther = 0x9000104UL;

TEST_F(IdxDisconnectTest, DrainOutcomes) {
    using Step = ScriptedNetwork::Step;
    struct Case {
        const char* name;
        bool waitForPeer;
        bool eventLog;
        std::vector<Step> script;
        std::vector<int> timeouts;
        std::size_t freed;
        std::vector<std::string> calls;
    } cases[] = {
        {"silent peer, not waiting", false, false, {}, {1}, 0, {"Disconnect(300)"}},
        {"silent peer, not waiting, event log",
         false,
         true,
         {},
         {1},
         0,
         {"Disconnect(300)", "disconnectEventLog"}},
        {"silent peer, waiting", true, false, {}, {60}, 0, {}},
        {"silent peer, waiting, event log", true, true, {}, {60}, 0, {"disconnectEventLog"}},
        {"receive error ends the drain",
         false,
         false,
         {{-5, 0}, {0, kOther}},
         {1},
         0,
         {"Disconnect(300)"}},
        {"peer asks to disconnect",
         true,
         true,
         {{0, kOther}, {0, 0x9000102UL}, {0, kOther}},
         {60, 60},
         1,
         {"ReplyDisconnect(300)"}},
        {"peer asks to disconnect, not waiting",
         false,
         true,
         {{0, 0x9000102UL}},
         {1},
         0,
         {"ReplyDisconnect(300)"}},
        {"connection reset", false, true, {{0, kOther}, {0, 0x9000103UL}}, {1, 1}, 1, {"reset"}},
        {"messages then silence", true, false, {{0, kOther}, {0, kOther + 1}}, {60, 60, 60}, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedNetwork net(c.script);
        sink.clear();
        idxDisconnect(&net, c.waitForPeer, c.eventLog);
        EXPECT_EQ(net.timeouts, c.timeouts);
        EXPECT_EQ(net.freed.size(), c.freed);
        EXPECT_EQ(net.calls, c.calls);
        EXPECT_EQ(net.dirtyBuffers, 0u) << "the buffer is zeroed before every receive";
        for (std::size_t s : net.sizes)
            EXPECT_EQ(s, 2400u);
    }
}

TEST_F(IdxDisconnectTest, DiscardedMessagesAreLoggedTenByTenThenCounted) {
    for (int count : {1, 10, 11, 12, 25}) {
        SCOPED_TRACE(count);
        std::vector<ScriptedNetwork::Step> script;
        for (int i = 0; i < count; ++i)
            script.push_back({0, 0xA0 + static_cast<unsigned long>(i)});
        ScriptedNetwork net(script);
        sink.clear();
        idxDisconnect(&net, false, false);
        ASSERT_EQ(net.freed.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(net.freed.front(), 0xA0u);
        std::vector<std::string> expected;
        for (int i = 0; i < count && i < 10; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "::idxDisconnect: Discarded message: msgType = %x",
                          0xA0 + i);
            expected.push_back(line);
        }
        if (count > 10)
            expected.push_back("::idxDisconnect: Discarded " + std::to_string(count) + " messages");
        EXPECT_EQ(texts(), expected);
        EXPECT_EQ(net.calls, std::vector<std::string>{"Disconnect(300)"});
    }
}

TEST_F(IdxDisconnectTest, FailedDisconnectIsLoggedWithThePlatformMessage) {
    ScriptedNetwork net({}, -1);
    idxDisconnect(&net, false, true);
    EXPECT_EQ(texts(),
              std::vector<std::string>{"::idxDisconnect: Disconnect failed. Msg peer gone"});
    EXPECT_EQ(sink.lines()[0].level, 1);
    EXPECT_EQ(net.calls, (std::vector<std::string>{"Disconnect(300)", "disconnectEventLog"}));
}

TEST_F(IdxDisconnectTest, NoNetworkDoesNothing) {
    idxDisconnect(nullptr, false, true);
    EXPECT_TRUE(sink.lines().empty());
}

} // namespace
