#include "watch/core/reader.h"

#include <gtest/gtest.h>

namespace {
std::vector<json> feedAll(LineReader& r, std::initializer_list<std::string_view> chunks) {
    std::vector<json> out;
    for (auto c : chunks)
        feedInput(r, c, [&](json j) { out.push_back(std::move(j)); });
    return out;
}
} // namespace

TEST(Reader, OnlyCompleteObjectLinesBecomeCommands) {
    LineReader r;
    auto out = feedAll(
        r, {"{\"cmd\":\"a\"}\n\n[1]\nnot json\n  \n{\"cmd\":\"b\"}\r\n{\"cmd\":", "\"c\"}"});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["cmd"], "a");
    EXPECT_EQ(out[1]["cmd"], "b");
    EXPECT_EQ(r.buffer, "{\"cmd\":\"c\"}") << "the unfinished line waits for its line feed";
}

TEST(Reader, InvalidUtf8AndDeepNestingAreDroppedQuietly) {
    LineReader r;
    std::string deep(100000, '[');
    auto out = feedAll(r, {"{\"cmd\":\"\xff\"}\n", deep, "\n{\"cmd\":\"ok\"}\n"});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["cmd"], "ok");
}

TEST(Reader, AHugeUnfinishedLineIsDiscardedUpToItsLineFeed) {
    LineReader r;
    // The tail of the huge line is itself a valid command: it must not run.
    std::string huge(5 * 1024 * 1024, ' ');
    auto out = feedAll(r, {huge, R"({"cmd":"pause"})", "\n", R"({"cmd":"resume"})", "\n"});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["cmd"], "resume");
    EXPECT_FALSE(r.discarding);
    EXPECT_TRUE(r.buffer.empty());
}

TEST(Reader, HugeLineSpreadOverManyReads) {
    LineReader r;
    std::string block(64 * 1024, 'x');
    std::vector<json> out;
    auto sink = [&](json j) { out.push_back(std::move(j)); };
    for (int i = 0; i < 100; ++i)
        feedInput(r, block, sink); // 6.4 MiB, no line feed
    EXPECT_LE(r.buffer.size(), maxUnfinishedLine);
    feedInput(r, "tail {\"cmd\":\"x\"}\n{\"cmd\":\"next\"}\n", sink);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["cmd"], "next");
}

TEST(Reader, ALineOfExactlyTheLimitIsKept) {
    LineReader r;
    std::string line = "{\"cmd\":\"probe\",\"pad\":\"";
    line += std::string(maxUnfinishedLine - line.size() - 2, 'p');
    line += "\"}";
    ASSERT_EQ(line.size(), maxUnfinishedLine);
    auto out = feedAll(r, {line, "\n"});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["cmd"], "probe");
}

// A command nested far deeper than any command means anything keeps its meaningful levels; the
// rest is left out while parsing, so copying or serialising it cannot exhaust the stack.
TEST(Reader, DeepNestingInsideACommandIsCutWhileParsing) {
    LineReader r;
    std::string line = R"({"cmd":"blur","id":"d","boxes":[{"x":0.5,"y":[[[[1]]]]},)";
    line += std::string(200000, '[') + std::string(200000, ']') + "]}\n";
    auto out = feedAll(r, {line});
    ASSERT_EQ(out.size(), 1u);
    json copy = out[0];
    EXPECT_EQ(copy["id"], "d");
    ASSERT_EQ(copy["boxes"].size(), 2u);
    EXPECT_EQ(copy["boxes"][0]["x"], 0.5);
    EXPECT_EQ(copy["boxes"][0]["y"], json::parse("[]"));
    EXPECT_EQ(copy["boxes"][1], json::parse("[[]]"));
    EXPECT_LT(jsonline::dump(copy).size(), 100u);
}
