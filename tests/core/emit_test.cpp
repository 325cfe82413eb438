#include "watcher.h"

#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"

#include <gtest/gtest.h>

TEST(Emit, TimeIsAddedTruncatedAndNeverReplaced) {
    Watcher w;
    w.lines();
    sim::reset(1700000000.0007); // 0.7 ms: cut, not rounded
    emit({{"kind", "a"}});
    emit({{"kind", "b"}, {"t", "caller's"}});
    w.run();
    auto out = w.lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["t"], 1700000000000LL);
    EXPECT_TRUE(out[0]["t"].is_number_integer());
    EXPECT_EQ(out[1]["t"], "caller's");
}

TEST(Emit, ContextIsEmptyBeforeAnyAppAndCallerFieldsWin) {
    Watcher w;
    w.lines();
    emitWith("x");
    currentApp = "Notes";
    emitWith("y", {{"app", "Other"}, {"kind", "z"}, {"n", 1}});
    w.run();
    auto out = w.lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (json{{"kind", "x"},
                            {"app", ""},
                            {"bundle", ""},
                            {"window", ""},
                            {"url", ""},
                            {"t", out[0]["t"]}}));
    EXPECT_EQ(out[1]["app"], "Other");
    EXPECT_EQ(out[1]["kind"], "z");
    EXPECT_EQ(out[1]["n"], 1);
}

TEST(Emit, EachRecordIsOneLineInHandOverOrder) {
    Watcher w;
    w.lines();
    json record = {{"kind", "text"}, {"text", "line one\nline two\r\n\u2028"}};
    for (int i = 0; i < 50; ++i) {
        record["i"] = i;
        emit(record);
    }
    // Invalid UTF-8 from a platform must not lose the record.
    emit({{"kind", "bad"}, {"title", std::string("caf\xe9")}});
    w.run();
    auto raw = sim::takeLines();
    ASSERT_EQ(raw.size(), 51u);
    for (int i = 0; i < 50; ++i) {
        auto j = json::parse(raw[i]);
        EXPECT_EQ(j["i"], i);
        EXPECT_EQ(j["text"], "line one\nline two\r\n\u2028");
    }
    EXPECT_EQ(json::parse(raw[50])["title"], "caf\uFFFD");
}

TEST(Emit, NothingFollowsTheLastRecord) {
    Watcher w;
    w.lines();
    emit({{"kind", "a"}});
    emitLast({{"kind", "stopped"}});
    emit({{"kind", "late"}});
    emitLast({{"kind", "stopped"}});
    w.run();
    EXPECT_EQ(w.kinds(), (std::vector<std::string>{"a", "stopped"}));
}
