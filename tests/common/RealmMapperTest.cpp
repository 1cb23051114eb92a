// The realm maps, the one-time load and the cached realm id are process-wide:
// every test runs its mapper in a forked child with a fresh process state.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/RealmMapper.h"
#include "platform/EvEvent.h"
#include "platform/OXPI.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OXRealm.h"
#include "support/TestSupport.h"

using platform::KeyStore;

namespace {

struct RealmMapperTest : ::testing::Test {
    testsupport::ScratchHome home;

    // Runs body in a child; the child's expectation failures fail the test.
    static void inChild(const std::function<void()>& body) {
        int rc = testsupport::runInChild([&] {
            body();
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_EQ(rc, 0) << "an expectation failed in the child (see its output above)";
    }

    static void setMapping(const std::string& value) {
        ASSERT_TRUE(KeyStore::set("__Cache", "sRealmIdNumMapping", value));
    }

    static std::vector<std::string> texts(const platform::TestSink& sink) {
        std::vector<std::string> out;
        for (const platform::CapturedLine& l : sink.lines())
            out.push_back(l.text);
        return out;
    }
};

TEST_F(RealmMapperTest, LoadedPairsAnswerBothDirectionsWithoutThePlatform) {
    setMapping("5:1;7:2");
    // The platform would answer differently: the cache must win.
    KeyStore::set(kRealmsSection, "5", "91");
    KeyStore::set(kRealmsSection, "7", "92");
    inChild([] {
        platform::TestSink sink;
        RealmMapper m;
        EXPECT_EQ(texts(sink),
                  std::vector<std::string>{
                      "REALMMAPPER: Found 'realm id-to-number mapping' information in registry "
                      "at '__Cache\\sRealmIdNumMapping'. Registry string: '5:1;7:2'."});
        EXPECT_EQ(sink.lines()[0].level, 3);
        sink.clear();
        EXPECT_EQ(m.idToNumber(5), 1u);
        EXPECT_EQ(m.idToNumber(7), 2u);
        EXPECT_TRUE(sink.lines().empty()) << "id-to-number cache hits log nothing";
        EXPECT_EQ(m.numberToId(1), 5u);
        EXPECT_EQ(m.numberToId(2), 7u);
        EXPECT_EQ(texts(sink),
                  (std::vector<std::string>{"REALMMAPPER: Realm number 1 maps to id 5 (cached)",
                                            "REALMMAPPER: Realm number 2 maps to id 7 (cached)"}));
    });
}

TEST_F(RealmMapperTest, MappingStringParsing) {
    struct Case {
        const char* value;
        // id -> expected number and number -> expected id, from the cache;
        // ids and numbers not listed fall through to the platform.
        std::vector<std::pair<unsigned long, unsigned long>> ids;
        std::vector<std::pair<unsigned long, unsigned long>> numbers;
        std::vector<unsigned long> uncachedIds;
    } cases[] = {
        // First occurrence wins in each direction.
        {"5:1;5:3", {{5, 1}}, {{1, 5}, {3, 5}}, {}},
        {"5:1;6:1", {{5, 1}, {6, 1}}, {{1, 5}}, {}},
        // No ";" after the last number: every complete pair loads.
        {"5:1;7:2;9:4", {{5, 1}, {7, 2}, {9, 4}}, {{4, 9}}, {}},
        // An incomplete last pair stops the parse.
        {"5:1;7", {{5, 1}}, {{1, 5}}, {7}},
        {"5:1;7:", {{5, 1}}, {{1, 5}}, {7}},
        // Realm numbers of 0xFFFFFFFF and above are skipped.
        {"4:4294967295;6:4294967296;8:3", {{8, 3}}, {{3, 8}}, {4, 6}},
        // A number runs to the ";"; each token is read as a decimal prefix.
        {"11:12x;13:14", {{11, 12}, {13, 14}}, {{12, 11}}, {}},
        {";;", {}, {}, {5}},
        {"", {}, {}, {5}},
    };
    // Platform answers that differ from every cached value.
    for (unsigned long id = 1; id <= 14; ++id)
        KeyStore::set(kRealmsSection, std::to_string(id), std::to_string(1000 + id));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        setMapping(c.value);
        inChild([&c] {
            platform::TestSink sink;
            RealmMapper m;
            for (auto p : c.ids)
                EXPECT_EQ(m.idToNumber(p.first), p.second) << "id " << p.first;
            for (auto p : c.numbers)
                EXPECT_EQ(m.numberToId(p.first), p.second) << "number " << p.first;
            for (unsigned long id : c.uncachedIds)
                EXPECT_EQ(m.idToNumber(id), 1000 + id) << "id " << id << " asks the platform";
        });
    }
}

TEST_F(RealmMapperTest, OnlyTheFirstConstructionLoads) {
    setMapping("5:1");
    inChild([] {
        platform::TestSink sink;
        RealmMapper first;
        ASSERT_TRUE(KeyStore::set("__Cache", "sRealmIdNumMapping", "5:9;6:2"));
        KeyStore::set(kRealmsSection, "6", "66");
        sink.clear();
        RealmMapper second;
        EXPECT_TRUE(sink.lines().empty());
        EXPECT_STREQ(second.getDebugPrefix(), "REALMMAPPER");
        EXPECT_EQ(second.idToNumber(5), 1u);
        EXPECT_EQ(second.idToNumber(6), 66u) << "the changed string is not read again";
        EXPECT_EQ(first.idToNumber(6), 66u) << "the maps are shared";
    });
}

TEST_F(RealmMapperTest, NoMappingKeyOrNoFocusLoadsNothing) {
    KeyStore::set(kRealmsSection, "5", "50");
    inChild([] {
        platform::TestSink sink;
        RealmMapper m;
        EXPECT_TRUE(sink.lines().empty());
        EXPECT_EQ(m.idToNumber(5), 50u);
    });
    setMapping("5:1");
    KeyStore::set(platform::kPlatformSection, "Focus", "");
    inChild([] {
        platform::TestSink sink;
        RealmMapper m;
        EXPECT_FALSE(sink.hasLine("Found"));
        EXPECT_EQ(m.idToNumber(5), 50u);
    });
}

TEST_F(RealmMapperTest, ZeroMapsToZeroWithoutAskingThePlatform) {
    KeyStore::set(kRealmsSection, "0", "5");
    KeyStore::set(kRealmsSection, "7", "0");
    inChild([] {
        platform::TestSink sink;
        RealmMapper m;
        EXPECT_EQ(m.idToNumber(0), 0u);
        EXPECT_EQ(m.numberToId(0), 0u);
        EXPECT_TRUE(sink.lines().empty());
    });
}

TEST_F(RealmMapperTest, PlatformAnswersAreCachedAndFailuresAreNot) {
    KeyStore::set(kRealmsSection, "12", "34");
    KeyStore::set(kRealmsSection, "13", "-");
    inChild([] {
        platform::TestSink sink;
        RealmMapper m;
        EXPECT_EQ(m.idToNumber(12), 34u);
        EXPECT_EQ(m.numberToId(34), 12u);
        EXPECT_EQ(m.idToNumber(13), 0u);
        // 13 has a key of its own, so no realm id stands for number 13.
        EXPECT_EQ(m.numberToId(13), 0u);
        EXPECT_EQ(texts(sink), (std::vector<std::string>{
                                   "REALMMAPPER: Realm id 12 maps to number 34",
                                   "REALMMAPPER: Realm number 34 maps to id 12",
                                   "REALMMAPPER: Realm id 13 has no corresponding Realm number",
                                   "REALMMAPPER: Realm number 13 has no corresponding Realm id"}));
        std::vector<int> levels;
        for (const platform::CapturedLine& l : sink.lines())
            levels.push_back(l.level);
        EXPECT_EQ(levels, (std::vector<int>{3, 3, 1, 1}));

        ASSERT_TRUE(KeyStore::set(kRealmsSection, "12", "99"));
        ASSERT_TRUE(KeyStore::set(kRealmsSection, "13", "77"));
        sink.clear();
        EXPECT_EQ(m.idToNumber(12), 34u) << "cached";
        EXPECT_EQ(m.numberToId(34), 12u) << "cached";
        EXPECT_EQ(m.idToNumber(13), 77u) << "a failure is asked again";
        EXPECT_EQ(texts(sink),
                  (std::vector<std::string>{"REALMMAPPER: Realm number 34 maps to id 12 (cached)",
                                            "REALMMAPPER: Realm id 13 maps to number 77"}));
    });
}

TEST_F(RealmMapperTest, RealmIdDefaultsToTwoAndIsAskedOnce) {
    struct Case {
        const char* configured; // null: key absent
        unsigned long expected;
        bool defaulted;
    } cases[] = {{nullptr, 2, false}, {"0", 2, true}, {"7", 7, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured ? c.configured : "absent");
        if (c.configured)
            KeyStore::set(kWardenSection, "RealmId", c.configured);
        inChild([&c] {
            platform::TestSink sink;
            RealmMapper m;
            EXPECT_EQ(m.getRealmId(), c.expected);
            ASSERT_TRUE(KeyStore::set(kWardenSection, "RealmId", "55"));
            EXPECT_EQ(RealmMapper().getRealmId(), c.expected) << "the id is asked only once";
            std::string idLine = "REALMMAPPER: Realm id = " + std::to_string(c.expected);
            std::vector<std::string> expected;
            if (c.defaulted)
                expected.push_back("REALMMAPPER: getRealmId returned 0, defaulting to 2.");
            expected.push_back(idLine);
            expected.push_back(idLine);
            EXPECT_EQ(texts(sink), expected);
        });
    }
}

TEST_F(RealmMapperTest, NoFocusGivesRealmIdTwo) {
    KeyStore::set(kWardenSection, "RealmId", "9");
    KeyStore::set(platform::kPlatformSection, "Focus", "");
    inChild([] {
        platform::TestSink sink;
        EXPECT_EQ(RealmMapper().getRealmId(), 2u);
        EXPECT_TRUE(sink.hasLine("getRealmId returned 0, defaulting to 2."));
    });
}

TEST_F(RealmMapperTest, ConcurrentMappersShareOneConsistentMap) {
    setMapping("1:101;2:102");
    inChild([] {
        RealmMapper warm;
        const int kThreads = 4;
        const unsigned long kIds = 60;
        std::vector<std::thread> threads;
        std::vector<int> wrong(kThreads, 0);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &wrong] {
                RealmMapper m;
                for (unsigned long id = 1; id <= kIds; ++id) {
                    unsigned long want = id <= 2 ? 100 + id : id; // platform default: itself
                    if (m.idToNumber(id) != want || m.numberToId(want) != id)
                        ++wrong[t];
                }
            });
        }
        for (std::thread& th : threads)
            th.join();
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(wrong[t], 0) << "thread " << t;
    });
}

} // namespace
