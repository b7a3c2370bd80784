// The dorvex command end to end: a copy of corpus files of every kind, text and JSON output,
// exit statuses, bad usage, and Ctrl-C during a video job. Each run gets its own home, settings,
// trash and temporary folder, so nothing of the machine's is touched.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "CommandLine.h"
#include "TerminalText.h"
#include "DorvexProcess.h"
#include "TestSupport.h"

extern char** environ;

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;
using nlohmann::json;
using namespace std::string_literals;

const fs::path corpus = DORVEX_TEST_MEDIA_DIR;

using Outcome = testing::DorvexOutcome;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = makeTemporaryFolder(executableFolder(), "CliTest-");
        for (const char* sub : {"home/.local/share", "home/.config", "tmp", "files"}) fs::create_directories(root_ / sub);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path files() const { return root_ / "files"; }

    void copyIn(const std::string& corpusPath, const std::string& as = "") {
        const fs::path from = corpus / corpusPath;
        fs::copy_file(from, files() / (as.empty() ? from.filename().string() : as));
    }

    Outcome dorvex(const std::vector<std::string>& args) { return testing::DorvexProcess(root_, args).finish(); }

    std::vector<json> jsonLines(const std::string& out) {
        std::vector<json> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
        return lines;
    }

    fs::path root_;
};

TEST_F(CliTest, MixedFolderAsJsonLines) {
    copyIn("images/goexif-sample1.jpg");
    copyIn("images/drawing-screenshot_color_palette.png");
    copyIn("videos/realshort.mp4");
    copyIn("pdfs/d-text.pdf");
    copyIn("pdfs/a-text-pass-peanuts.pdf");
    put(files() / "notes.txt", "not media");

    const Outcome run = dorvex({"--json", "--max-size", "30KB", "-j", "2", files().string()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = jsonLines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    std::map<std::string, json> bySource;
    for (const auto& line : lines) bySource[fs::path(line["source"].get<std::string>()).filename()] = line;

    const json& photo = bySource["goexif-sample1.jpg"];
    EXPECT_EQ(photo["status"], "success");
    EXPECT_EQ(photo["format"], "jpeg");
    EXPECT_EQ(photo["maxSizeMet"], true);
    EXPECT_LE(photo["outputBytes"].get<int>(), 30000);
    EXPECT_TRUE(fs::exists(photo["output"].get<std::string>()));
    EXPECT_EQ(photo["pixelSize"]["width"].get<int>() > 0, true);
    ASSERT_EQ(int(photo["attempts"].size()), photo["encodeCount"].get<int>());
    EXPECT_EQ(photo["attempts"][0]["index"], 0);
    EXPECT_FALSE(photo["attempts"][0].contains("pixelSize"));  // the source's own size
    EXPECT_GT(photo["perceptual"]["butteraugli"].get<double>(), 0) << photo.dump();
    EXPECT_GT(photo["perceptual"]["pnorm3"].get<double>(), 0) << photo.dump();

    EXPECT_TRUE(bySource.count("drawing-screenshot_color_palette.png"));
    const json& video = bySource["realshort.mp4"];
    EXPECT_NE(video["status"], "failed") << video.dump();
    if (video["status"] == "success") {
        EXPECT_TRUE(video.contains("videoCodec"));
        ASSERT_FALSE(video["attempts"].empty());
        EXPECT_TRUE(video["attempts"][0].contains("rate"));
    }
    EXPECT_EQ(bySource["a-text-pass-peanuts.pdf"]["status"], "skipped");
    EXPECT_EQ(bySource["a-text-pass-peanuts.pdf"]["skipReason"], "encrypted");
    EXPECT_FALSE(bySource.count("notes.txt"));
}

TEST_F(CliTest, TextLinesSummaryAndExitStatus) {
    copyIn("images/goexif-sample1.jpg");
    put(files() / "broken.png", "not a png");
    put(files() / "readme.md", "x");
    const Outcome run =
        dorvex({"-f", "webp", "--score", "--suffix", "", "-o", (root_ / "out").string(), files().string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;  // one job failed
    EXPECT_NE(run.out.find("✓ goexif-sample1.jpg  80.6 KB → "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  感知差异 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("✗ broken.png  无法解码 broken.png：文件已损坏或格式不受支持\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("2 张 · 成功 1 · 失败 1 · 共节省 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("已忽略 1 个不支持的文件"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(root_ / "out" / "goexif-sample1.webp"));
    // Nothing left in the temporary folder.
    EXPECT_TRUE(namesIn(root_ / "tmp").empty());
}

TEST_F(CliTest, BadUsageExitsTwo) {
    copyIn("images/goexif-sample1.jpg");
    const std::string file = (files() / "goexif-sample1.jpg").string();
    const std::vector<std::vector<std::string>> bad{
        {"--bogus", file},
        {"--level", "7", file},
        {"--level", "nan", file},
        {"--format", "gif", file},
        {"--format", "tiff", file},
        {"--max-size", "12 parsecs", file},
        {"--max-size", "0", file},
        {"--max-size", "0.5", file},
        {"--level", "", file},
        {"--format", "", file},
        {"--tiff-compression", "jpeg", file},
        {"--jobs", "0", file},
        {"--overwrite", "-o", "/tmp", file},
        {"--prefix", "a/b", file},
        {"--preset", "no such preset", file},
        {"--score", "--no-score", file},
        {},
    };
    for (const auto& args : bad) {
        const Outcome run = dorvex(args);
        EXPECT_EQ(run.status, 2) << fmt::format("{}", fmt::join(args, " ")) << "\n" << run.err;
        EXPECT_TRUE(run.err.starts_with("dorvex: ")) << run.err;
    }
    EXPECT_EQ(dorvex({"--help"}).status, 0);
}

// Ctrl-C, SIGTERM and a hang-up end the run the same way: running jobs are cancelled, nothing
// partial is left, and the status says which signal it was.
TEST_F(CliTest, InterruptionsCancelARunningVideoCleanly) {
    // A clip long enough to be interrupted mid-pass.
    const fs::path clip = files() / "long.mp4";
    const std::string make = fmt::format(
        "ffmpeg -v error -f lavfi -i testsrc=size=640x360:rate=30 -f lavfi -i sine=frequency=440 -t 20 "
        "-c:v libx264 -preset ultrafast -c:a aac -shortest '{}'",
        clip.string());
    ASSERT_EQ(std::system(make.c_str()), 0);

    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        testing::DorvexProcess dorvex(root_, {"--video-codec", "hevc", clip.string()});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        dorvex.signal(signal);
        const Outcome run = dorvex.finish();
        EXPECT_EQ(run.status, 128 + signal) << run.out << run.err;
        EXPECT_NE(run.out.find("已取消"), std::string::npos) << run.out;
        EXPECT_EQ(namesIn(files()), std::vector<std::string>{"long.mp4"});  // no partial output
        EXPECT_TRUE(namesIn(root_ / "tmp").empty());                         // work folder removed
    }
}

// A path that cannot be looked at is a failure line of its own; the other files are compressed.
TEST_F(CliTest, UnreadablePathsFailAloneAndTheRunGoesOn) {
    copyIn("images/goexif-sample1.jpg");
    fs::create_symlink("loop-b", files() / "loop-a");
    fs::create_symlink("loop-a", files() / "loop-b");
    const Outcome run = dorvex({(files() / "loop-a").string(), (files() / "missing.png").string(),
                                (files() / "goexif-sample1.jpg").string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("✗ loop-a  无法读取 loop-a：符号链接形成了循环\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("✗ missing.png  找不到 missing.png：文件已被移动、改名或删除\n"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(files() / "goexif-sample1-min.jpg"));
}

// An encoder's own words stay out of the failure's line: they are its detail, in the JSON beside
// the message and indented under the text line.
TEST_F(CliTest, AFailuresDetailIsShownApart) {
    copyIn("images/goexif-sample1.jpg", "a.jpg");
    const fs::path fake = root_ / "cwebp";
    put(fake, "#!/bin/sh\necho 'Unsupported colorspace' >&2\nexit 2\n");
    fs::permissions(fake, fs::perms::owner_all);
    const std::vector<std::string> environment{"DORVEX_CWEBP=" + fake.string()};
    const std::string file = (files() / "a.jpg").string();
    const std::string message = "编码器 cwebp 无法压缩 a.jpg（退出码 2）";
    const Outcome asJson = testing::DorvexProcess(root_, {"--json", "-f", "webp", file}, environment).finish();
    const std::vector<json> lines = jsonLines(asJson.out);
    ASSERT_EQ(lines.size(), 1u) << asJson.out;
    EXPECT_EQ(lines[0]["message"], message);
    EXPECT_EQ(lines[0]["detail"], "cwebp exited 2: Unsupported colorspace");
    const Outcome asText = testing::DorvexProcess(root_, {"-f", "webp", file}, environment).finish();
    EXPECT_NE(asText.out.find("✗ a.jpg  " + message + "\n    cwebp exited 2: Unsupported colorspace\n"), std::string::npos)
        << asText.out;
}

// A folder that cannot be listed is a failure line of its own, not a silent "0 张".
TEST_F(CliTest, AFolderWithoutReadPermissionFails) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    copyIn("images/goexif-sample1.jpg");
    fs::create_directory(files() / "locked");
    fs::permissions(files() / "locked", fs::perms::none);
    const Outcome run = dorvex({(files() / "locked").string(), files().string()});
    fs::permissions(files() / "locked", fs::perms::owner_all);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("✗ locked  无法读取这个文件夹（没有读取权限）"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(files() / "goexif-sample1-min.jpg")) << run.out;
}

// A JPEG named a.png is written as a JPEG, so its output is planned as a.jpg: beside a real a.jpg
// in the overwrite mode, that is another file of the run and a.png must not take its place.
TEST_F(CliTest, AMislabelledPictureNeverTakesAnotherSourcesPlace) {
    copyIn("images/goexif-sample1.jpg", "a.png");
    copyIn("images/Penguin-Sushi-1.JPG", "a.jpg");
    const std::string png = (files() / "a.png").string(), jpg = (files() / "a.jpg").string();
    const std::string clash = "输出 " + jpg + " 是本次要压缩的另一个文件，未压缩";

    const Outcome alone = dorvex({"--overwrite", "--dry-run", png});
    EXPECT_NE(alone.out.find("· " + png + " → " + jpg + "\n"), std::string::npos) << alone.out;

    const std::string pictureBytes = contents(files() / "a.png");
    const Outcome run = dorvex({"--overwrite", "--json", files().string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    std::map<std::string, json> bySource;
    for (const auto& line : jsonLines(run.out)) bySource[line["source"].get<std::string>()] = line;
    EXPECT_EQ(bySource[png]["message"], clash) << run.out;
    EXPECT_EQ(contents(files() / "a.png"), pictureBytes);
    // a.jpg holds its own compressed picture, nothing of a.png's.
    EXPECT_EQ(bySource[jpg]["sourcePixelSize"]["width"], 512) << run.out;
    EXPECT_EQ(json(fs::file_size(jpg)), bySource[jpg]["outputBytes"]) << run.out;
}

// A reader that goes away ends the run quietly, as a pipeline expects, and cleans up first.
TEST_F(CliTest, AClosedOutputEndsTheRunQuietly) {
    std::string names;
    for (int i = 0; i < 6; ++i) {
        copyIn("images/goexif-sample1.jpg", fmt::format("p{}.jpg", i));
        names += fmt::format(" '{}'", (files() / fmt::format("p{}.jpg", i)).string());
    }
    const std::string command = fmt::format(
        "env HOME='{0}/home' XDG_CONFIG_HOME='{0}/home/.config' XDG_DATA_HOME='{0}/home/.local/share' TMPDIR='{0}/tmp' "
        "bash -c \"'{1}' -j 1 {2} 2>'{0}/err.txt' | head -n 1 >/dev/null; exit \\${{PIPESTATUS[0]}}\"",
        root_.string(), DORVEX_CLI_PATH, names);
    const int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE);
    EXPECT_EQ(contents(root_ / "err.txt"), "");
    EXPECT_TRUE(namesIn(root_ / "tmp").empty());
}

// A list that is no list ends at once with a clear usage error, whether its NULs are names or
// separators. (ctest's timeout bounds the run; an unbounded read would never end.)
TEST_F(CliTest, FilesFromAnEndlessStreamFailsAtOnce) {
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--files-from", "/dev/zero"}, "line 1 holds a NUL byte (a list separated by NUL needs -0)"},
             {{"--files-from", "/dev/zero", "-0"},
              "more than 4096 empty names in a row before entry 4098: is it a list of names?"}}) {
        const Outcome run = dorvex(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(run.err.starts_with("dorvex: --files-from: " + message + "\n")) << run.err;
    }
}

TEST(CliFlags, ListsOfNamesAreBounded) {
    const std::string longest(4095, 'a');
    const std::vector<std::tuple<std::string, cli::NameListLimits, std::string>> cases{
        {"a\n\n" + longest + "\nb", {}, ""},
        {"a\n\n" + longest + "a\nb", {}, "--files-from: line 3 is longer than 4095 bytes, the longest path"},
        {"a\nb\nc", {.names = 2}, "--files-from: more than 2 names"},
        {"ab\ncd", {.totalBytes = 3}, "--files-from: more than 3 bytes of names"},
    };
    for (auto [list, limits, error] : cases) {
        std::FILE* in = ::fmemopen(list.data(), list.size(), "rb");
        try {
            EXPECT_EQ(cli::readNames(in, '\n', limits).size(), 3u);
            EXPECT_EQ(error, "");
        } catch (const cli::UsageError& thrown) {
            EXPECT_EQ(thrown.what(), error);
        }
        std::fclose(in);
    }
}

// Outputs kept in their tree never go out of the output folder through a link inside it.
TEST_F(CliTest, ALinkInsideTheOutputTreeIsNotFollowed) {
    for (const char* folder : {"a", "b"}) fs::create_directories(files() / folder);
    copyIn("images/goexif-sample1.jpg", "a/x.jpg");
    copyIn("images/goexif-sample1.jpg", "b/y.jpg");
    fs::create_directories(root_ / "out");
    fs::create_directories(root_ / "elsewhere");
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "out" / "a");
    const Outcome run = dorvex({"--keep-structure", "-o", (root_ / "out").string(), files().string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find(fmt::format("✗ x.jpg  输出文件夹中的 {} 是符号链接，不会经由它写入，未压缩",
                                       (root_ / "out" / "a").string())),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(namesIn(root_ / "elsewhere").empty());
    EXPECT_TRUE(fs::exists(root_ / "out/b/y-min.jpg")) << run.out;
}

TEST(CliFlags, ParsingAndApplying) {
    using cli::parseByteLimit;
    EXPECT_EQ(parseByteLimit("200000").bytes, 200000);
    EXPECT_EQ(parseByteLimit("200KB").bytes, 200000);
    EXPECT_EQ(parseByteLimit("1.5mb").bytes, 1500000);
    EXPECT_EQ(parseByteLimit("2 GB").bytes, 2000000000);
    EXPECT_EQ(parseByteLimit("none").bytes, std::nullopt);
    EXPECT_EQ(parseByteLimit("2.345MB").bytes, 2345000);
    EXPECT_EQ(parseByteLimit("0.5KB").bytes, 500);
    for (const char* bad : {"", "-5", "0", "0.5", "1.0005KB", "abc", "5 kib", "nan"}) {
        EXPECT_THROW(parseByteLimit(bad), cli::UsageError) << bad;
    }
    try {
        parseByteLimit("1e30");
        ADD_FAILURE() << "accepted";
    } catch (const cli::UsageError& error) {
        EXPECT_EQ(std::string(error.what()), "a size limit must be at most 1000 TB: \"1e30\"");
    }

    CompressionOptions start;
    start.saveLocation = SaveLocation::folder("/data/out", "-small");
    cli::Flags f;
    f.suffix = "";
    EXPECT_EQ(cli::apply(f, start).saveLocation, SaveLocation::folder("/data/out", ""));
    f = {};
    f.outDir = "/x/y/";
    EXPECT_EQ(cli::apply(f, start).saveLocation, SaveLocation::folder("/x/y", "-small"));
    f = {};
    f.format = "original";
    f.level = 2.5;
    f.maxSize = cli::ByteLimit{std::nullopt};
    start.format = OutputFormat::png;
    start.maxBytes = 5;
    const CompressionOptions applied = cli::apply(f, start);
    EXPECT_EQ(applied.format, std::nullopt);
    EXPECT_EQ(applied.maxBytes, std::nullopt);
    EXPECT_EQ(applied.level, 2.5);
    f = {};
    f.suffix = "-z";
    CompressionOptions overwriting;
    overwriting.saveLocation = SaveLocation::overwrite();
    EXPECT_EQ(cli::apply(f, overwriting).saveLocation, SaveLocation::sourceFolder("-z"));

    // Scoring follows the starting options where the score is shown (--json, --score), unless a
    // flag says otherwise; text output without --score never pays for one.
    CompressionOptions unscored;
    unscored.perceptualScore = false;
    f = {};
    EXPECT_FALSE(cli::apply(f, CompressionOptions{}).perceptualScore);
    f.json = true;
    EXPECT_TRUE(cli::apply(f, CompressionOptions{}).perceptualScore);
    EXPECT_FALSE(cli::apply(f, unscored).perceptualScore);
    f = {};
    f.score = true;
    EXPECT_TRUE(cli::apply(f, unscored).perceptualScore);
    f = {};
    f.json = true;
    f.noScore = true;
    EXPECT_FALSE(cli::apply(f, CompressionOptions{}).perceptualScore);
}

TEST(CliTerminalText, EscapesControlsAndBoundsTheExcerpt) {
    struct Case {
        std::string text;
        std::size_t limit;
        std::string shown;
    };
    const std::vector<Case> cases{
        {"photo \xE7\x85\xA7\xE7\x89\x87.jpg", 300, "photo 照片.jpg"},
        {"line one\nline two\r\t", 300, "line one\\nline two\\r\\t"},
        {"\x1b]0;owned\x07name.png", 300, "\\x1b]0;owned\\x07name.png"},
        {"bad \xff\xc3 bytes, C1 \xC2\x9B", 300, "bad \\xff\\xc3 bytes, C1 \\u009b"},
        {"abcdef", 3, "abc…"},
        {std::string(200000, 'e'), 300, std::string(300, 'e') + "…"},
    };
    for (const Case& c : cases) EXPECT_EQ(cli::terminalText(c.text, c.limit), c.shown) << c.text.substr(0, 40);
}

}  // namespace
}  // namespace dorvex
