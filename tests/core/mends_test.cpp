// The image commands through the command channel: field handling, and answers at the end.
#include "watcher.h"

#include "watch/core/emit.h"
#include "watch/core/state.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <vips/vips8>

namespace {

namespace fs = std::filesystem;

struct ImageCommands : ::testing::Test {
    fs::path dir;
    std::string frame;
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "mends-test-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        frame = (dir / "f1.png").string();
        auto picture = (vips::VImage::black(40, 20) + 200).cast(VIPS_FORMAT_UCHAR);
        picture.write_to_file(frame.c_str());
    }
    void TearDown() override { fs::remove_all(dir); }
    // The answers by id, and the kinds in order.
    std::map<std::string, json> answers(Watcher& w, std::vector<std::string>* kinds = nullptr) {
        std::map<std::string, json> out;
        for (auto& line : w.lines()) {
            if (kinds) kinds->push_back(line["kind"]);
            if (line.contains("id")) out[line["id"].is_string() ? line["id"] : "?"] = line;
        }
        return out;
    }
};

TEST_F(ImageCommands, FieldsAsTheHostMaySendThem) {
    Watcher w;
    w.command({{"cmd", "config"}, {"frames_dir", dir.string()}, {"start", false}});
    w.lines();
    const json box = {{"x", "0"}, {"y", 0}, {"w", 1}, {"h", "1"}};
    w.command({{"cmd", "blur"}, {"id", 7}, {"path", frame}, {"boxes", {box}}});
    w.command({{"cmd", "blur"}, {"id", "no-path"}, {"boxes", {box}}});
    w.command({{"cmd", "blur"}, {"id", "path-number"}, {"path", 5}, {"boxes", {box}}});
    w.command({{"cmd", "blur"}, {"id", "boxes-object"}, {"path", frame}, {"boxes", box}});
    w.command({{"cmd", "blur"}, {"id", "boxes-empty"}, {"path", frame}, {"boxes", json::array()}});
    w.command({{"cmd", "blur"}, {"id", "non-objects"}, {"path", frame}, {"boxes", {1, "x"}}});
    w.command({{"cmd", "ocr"}, {"id", "ocr-no-path"}});
    w.command({{"cmd", "ocr"}, {"id", "path-list"}, {"path", {frame}}});
    w.command({{"cmd", "ocr"}, {"id", "blank"}, {"path", frame}});
    w.command({{"cmd", "names"}, {"id", "text-number"}, {"text", 12}});
    auto got = answers(w);
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got[""]["kind"], "blurred");
    EXPECT_EQ(got[""]["ok"], true); // the number id counts as ""; the blur itself went ahead
    for (auto id : {"no-path", "path-number", "boxes-object", "boxes-empty"})
        EXPECT_EQ(got[id]["ok"], false) << id;
    EXPECT_EQ(got["non-objects"]["ok"], true);
    for (auto id : {"ocr-no-path", "path-list", "blank"}) {
        EXPECT_EQ(got[id]["text"], "") << id;
        EXPECT_EQ(got[id]["boxes"], json::array()) << id;
    }
    EXPECT_EQ(got["text-number"]["names"], json::array());
    for (auto& [id, answer] : got)
        EXPECT_FALSE(answer.contains("app")) << id;
}

// Requests handled before "stop" are answered before "stopped", which ends the stream; the same
// at the end of input.
TEST_F(ImageCommands, AnsweredBeforeStopped) {
    for (std::string end : {std::string(R"({"cmd":"stop"})"
                                        "\n"),
                            std::string()}) {
        Watcher w;
        w.command({{"cmd", "config"}, {"frames_dir", dir.string()}, {"start", false}});
        w.lines();
        std::string burst;
        for (int i = 0; i < 5; ++i)
            burst +=
                jsonline::dump({{"cmd", "names"}, {"id", std::to_string(i)}, {"text", "Ann"}}) +
                "\n";
        burst += jsonline::dump({{"cmd", "blur"},
                                 {"id", "b"},
                                 {"path", frame},
                                 {"boxes", {{{"w", 1}, {"h", 1}}}}}) +
                 "\n";
        burst += jsonline::dump({{"cmd", "ocr"}, {"id", "o"}, {"path", frame}}) + "\n";
        w.send(burst + end);
        if (end.empty()) w.send("");
        std::vector<std::string> kinds;
        auto got = answers(w, &kinds);
        EXPECT_EQ(w.exitStatus, 0);
        EXPECT_EQ(got.size(), 7u);
        ASSERT_FALSE(kinds.empty());
        EXPECT_EQ(kinds.back(), "stopped");
        EXPECT_EQ(got["b"]["ok"], true);
        emit({{"kind", "late"}});
        w.run();
        EXPECT_TRUE(w.lines().empty());
    }
}

} // namespace
