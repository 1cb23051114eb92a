// Draining a connection before it is closed, against a scripted peer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/IdxDisconnect.h"
#include "platform/COxNetwork.h"
#include "platform/EvEvent.h"

namespace {

// Each receive takes the next step (rc, message type); past the script the
// peer falls silent (time-out).
class ScriptedNetwork : public COxNetwork {
public:
    ScriptedNetwork(std::vector<std::pair<int, unsigned long>> script, int disconnectRc)
        : script_(std::move(script)), disconnectRc_(disconnectRc) {}

    int receive(void* buffer, std::size_t size, int timeoutSeconds) override {
        timeouts.push_back(timeoutSeconds);
        for (std::size_t i = 0; i < size; ++i)
            dirty += static_cast<const unsigned char*>(buffer)[i] != 0;
        if (next_ >= script_.size())
            return kReceiveTimeout;
        auto [rc, type] = script_[next_++];
        if (rc == 0) {
            std::memcpy(buffer, &type, sizeof type);
            std::memset(static_cast<char*>(buffer) + sizeof type, 0x5A, size - sizeof type);
        }
        return rc;
    }
    unsigned long getMessageType(const void* buffer) const override {
        unsigned long t;
        std::memcpy(&t, buffer, sizeof t);
        return t;
    }
    void freeMessage(void*) override { ++freed; }
    int ReplyDisconnect(int t) override { return calls.push_back("Reply" + std::to_string(t)), 0; }
    int Disconnect(int t) override {
        calls.push_back("Disconnect" + std::to_string(t));
        return disconnectRc_;
    }
    const char* getErrorText() const override { return "peer gone"; }
    void reset() override { calls.push_back("reset"); }
    void disconnectEventLog() override { calls.push_back("eventLog"); }

    std::vector<int> timeouts;
    std::vector<std::string> calls;
    std::size_t dirty = 0, freed = 0;

private:
    std::vector<std::pair<int, unsigned long>> script_;
    std::size_t next_ = 0;
    int disconnectRc_;
};

constexpr unsigned long kOther = 0x9000104UL;

TEST(IdxDisconnectTest, DrainOutcomes) {
    struct Case {
        bool waitForPeer, eventLog;
        std::vector<std::pair<int, unsigned long>> script;
        int disconnectRc;
        std::vector<int> timeouts;
        std::size_t freed;
        std::vector<std::string> calls;
    } cases[] = {
        {false, false, {}, 0, {1}, 0, {"Disconnect300"}},
        {false, true, {}, -1, {1}, 0, {"Disconnect300", "eventLog"}},
        {true, true, {}, 0, {60}, 0, {"eventLog"}},
        {false, false, {{-5, 0}, {0, kOther}}, 0, {1}, 0, {"Disconnect300"}},
        {true, true, {{0, kOther}, {0, 0x9000102UL}, {0, kOther}}, 0, {60, 60}, 1, {"Reply300"}},
        {false, true, {{0, kOther}, {0, 0x9000103UL}}, 0, {1, 1}, 1, {"reset"}},
        {true, false, {{0, kOther}, {0, kOther + 1}}, 0, {60, 60, 60}, 2, {}},
    };
    for (const Case& c : cases) {
        platform::TestSink sink;
        ScriptedNetwork net(c.script, c.disconnectRc);
        idxDisconnect(&net, c.waitForPeer, c.eventLog);
        EXPECT_EQ(net.timeouts, c.timeouts);
        EXPECT_EQ(net.freed, c.freed);
        EXPECT_EQ(net.calls, c.calls);
        EXPECT_EQ(net.dirty, 0u); // the buffer is zeroed before every receive
        EXPECT_EQ(sink.hasLine("::idxDisconnect: Disconnect failed. Msg peer gone"),
                  c.disconnectRc != 0);
    }
    idxDisconnect(nullptr, false, true);
}

} // namespace
