// The realm maps, the one-time load and the cached realm id are process-wide:
// every test runs its mapper in a forked child with a fresh process state.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/RealmMapper.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OXRealm.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

// Runs body in a child; the child's expectation failures fail the test.
void inChild(const std::function<void()>& body) {
    EXPECT_EQ(testsupport::runInChild([&] {
                  body();
                  return ::testing::Test::HasFailure() ? 1 : 0;
              }),
              0);
}

TEST(RealmMapperTest, MappingStringWinsOverThePlatformAndLoadsOnce) {
    testsupport::ScratchHome home;
    // id -> number and number -> id answered from the string; listed ids not
    // in it fall through to the platform, which answers 1000 + id.
    struct Case {
        const char* value;
        std::vector<std::pair<unsigned long, unsigned long>> ids, numbers;
    } cases[] = {
        {"5:1;5:3", {{5, 1}}, {{1, 5}, {3, 5}}}, // first occurrence wins in each direction
        {"5:1;6:1", {{5, 1}, {6, 1}}, {{1, 5}}},
        {"5:1;7:2;9:4", {{5, 1}, {7, 2}, {9, 4}}, {{4, 9}}},
        {"5:1;7", {{5, 1}, {7, 1007}}, {{1, 5}}}, // an incomplete last pair stops the parse
        {"4:4294967295;8:3", {{4, 1004}, {8, 3}}, {{3, 8}}},
        {"11:12x;13:14", {{11, 12}, {13, 14}}, {{12, 11}}},
        {"", {{5, 1005}}, {}},
    };
    for (unsigned long id = 1; id <= 14; ++id)
        KeyStore::set(kRealmsSection, std::to_string(id), std::to_string(1000 + id));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(KeyStore::set("__Cache", "sRealmIdNumMapping", c.value));
        inChild([&c] {
            RealmMapper m;
            // A changed string is not read again, and the maps are shared.
            ASSERT_TRUE(KeyStore::set("__Cache", "sRealmIdNumMapping", "5:77;6:78"));
            RealmMapper second;
            for (auto [id, number] : c.ids)
                EXPECT_EQ(second.idToNumber(id), number) << "id " << id;
            for (auto [number, id] : c.numbers)
                EXPECT_EQ(m.numberToId(number), id) << "number " << number;
            EXPECT_EQ(m.idToNumber(0), 0u);
        });
    }
}

TEST(RealmMapperTest, PlatformAnswersAreCachedAndFailuresAreNot) {
    testsupport::ScratchHome home;
    KeyStore::set(kRealmsSection, "12", "34");
    KeyStore::set(kRealmsSection, "13", "-");
    inChild([] {
        RealmMapper m;
        EXPECT_EQ(m.idToNumber(12), 34u);
        EXPECT_EQ(m.numberToId(34), 12u);
        EXPECT_EQ(m.idToNumber(13), 0u);
        EXPECT_EQ(m.numberToId(13), 0u); // 13 has a key of its own
        ASSERT_TRUE(KeyStore::set(kRealmsSection, "12", "99"));
        ASSERT_TRUE(KeyStore::set(kRealmsSection, "13", "77"));
        EXPECT_EQ(m.idToNumber(12), 34u);
        EXPECT_EQ(m.numberToId(34), 12u);
        EXPECT_EQ(m.idToNumber(13), 77u);
    });
    // Without a focus there is no central server to ask: the realm id is 2.
    KeyStore::set(kWardenSection, "RealmId", "9");
    KeyStore::set(platform::kPlatformSection, "Focus", "");
    inChild([] { EXPECT_EQ(RealmMapper().getRealmId(), 2u); });
}

} // namespace
