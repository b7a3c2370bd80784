// The dorvex command's everyday habits through the real binary: the live line on a narrow
// terminal, the summary of a mixed run, output folders that keep or flatten a tree, dry runs,
// lists of names from a file, and the versions. Each run gets its own home and temporary folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "CommandLine.h"
#include "DorvexProcess.h"
#include "TerminalText.h"
#include "TestSupport.h"
#include "dorvex/library/Preset.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;

const fs::path photo = testMedia("images/goexif-sample1.jpg");

class CliHabitsTest : public ::testing::Test {
protected:
    void SetUp() override { root_ = makeTemporaryFolder(executableFolder(), "CliHabitsTest-"); }
    void TearDown() override { fs::remove_all(root_); }

    fs::path place(const std::string& relative, const fs::path& from = photo) {
        const fs::path to = root_ / "in" / relative;
        fs::create_directories(to.parent_path());
        fs::copy_file(from, to);
        return to;
    }
    DorvexOutcome dorvex(const std::vector<std::string>& args) { return DorvexProcess(root_, args).finish(); }
    static bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    fs::path root_;
};

// Runs dorvex with its standard error on a pseudo-terminal `columns` wide and its standard
// output in a file; returns what the terminal received.
std::string onTerminal(const fs::path& root, const std::vector<std::string>& args, unsigned short columns) {
    winsize size{};
    size.ws_col = columns, size.ws_row = 24;
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        const int out = ::open((root / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::setenv("HOME", (root / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "home/.config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root / "home/.local/share").c_str(), 1);
        ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
        std::vector<std::string> argv{DORVEX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargs;
        for (auto& a : argv) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
    }
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) received.append(buffer, std::size_t(n));
    ::close(terminal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << received;
    return received;
}

TEST_F(CliHabitsTest, LiveLineGoesToTheTerminalCutToItsWidth) {
    for (const char* sub : {"home/.config", "home/.local/share", "tmp"}) fs::create_directories(root_ / sub);
    place("a-photo-with-a-rather-long-name-that-alone-fills-a-narrow-terminal.jpg");
    place("b.jpg");
    place("c.jpg");
    const std::string shown = onTerminal(root_, {"-j", "1", (root_ / "in").string()}, 50);

    int drawn = 0;
    for (std::size_t at = shown.find("\x1b[2K"); at != std::string::npos; at = shown.find("\x1b[2K", at + 1)) {
        const std::size_t end = shown.find_first_of("\r\x1b", at + 4);
        const std::string line = shown.substr(at + 4, end == std::string::npos ? end : end - at - 4);
        if (line.empty()) continue;
        ++drawn;
        EXPECT_LT(cli::columns(line), 50u) << line;
        EXPECT_TRUE(line.find("/3") != std::string::npos) << line;
    }
    EXPECT_GE(drawn, 3) << shown;
    const std::string out = contents(root_ / "out.txt");
    EXPECT_FALSE(has(out, "\x1b")) << out;  // results stay clean in the file
    EXPECT_TRUE(has(out, "3 张 · 成功 3")) << out;
}

// A success, a skip and a failure are counted apart; files among pictures are counted as files.
TEST_F(CliHabitsTest, SummaryCountsOutcomes) {
    place("photo.jpg");
    place("locked.pdf", testMedia("pdfs/a-text-pass-peanuts.pdf"));
    put(root_ / "in" / "broken.png", "not a png");
    struct Case {
        std::vector<std::string> flags;
        std::vector<std::string> shown, notShown;
    };
    const std::vector<Case> cases{
        {{}, {"✓ photo.jpg", "– locked.pdf", "✗ broken.png", "3 个文件 · 成功 1 · 已跳过 1 · 失败 1 · 共节省 "}, {}},
        {{"-q"}, {"✗ broken.png"}, {"photo.jpg", "locked.pdf", "个文件"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.flags;
        args.insert(args.end(), {"-o", (root_ / "out").string(), (root_ / "in").string()});
        const DorvexOutcome run = dorvex(args);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        for (const auto& part : c.shown) EXPECT_TRUE(has(run.out, part)) << part << "\n" << run.out;
        for (const auto& part : c.notShown) EXPECT_FALSE(has(run.out, part)) << part << "\n" << run.out;
    }
}

// Two sources named alike in a tree: kept apart with --keep-structure, otherwise the second
// fails with a clear text and the first output stays (nothing goes to the trash).
TEST_F(CliHabitsTest, SameNamesInATree) {
    place("tree/a/x.jpg");
    place("tree/b/x.jpg");
    const fs::path tree = root_ / "in" / "tree";
    {
        const DorvexOutcome run = dorvex({"--keep-structure", "-o", (root_ / "kept").string(), tree.string()});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(fs::exists(root_ / "kept/a/x-min.jpg")) << run.out;
        EXPECT_TRUE(fs::exists(root_ / "kept/b/x-min.jpg")) << run.out;
    }
    {
        const DorvexOutcome run = dorvex({"-o", (root_ / "flat").string(), tree.string()});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(namesIn(root_ / "flat"), std::vector<std::string>{"x-min.jpg"});
        EXPECT_TRUE(has(run.out, fmt::format("✗ x.jpg  输出与 {} 的输出同为 {}，未压缩", (tree / "a/x.jpg").string(),
                                              (root_ / "flat/x-min.jpg").string())))
            << run.out;
        EXPECT_FALSE(fs::exists(root_ / "home/.local/share/Trash/files/x-min.jpg"));
    }
}

TEST_F(CliHabitsTest, DryRunListsAndWritesNothing) {
    place("tree/x.jpg");
    put(root_ / "in" / "tree" / "notes.txt", "not media");
    const DorvexOutcome run = dorvex({"--dry-run", "-o", (root_ / "out").string(), (root_ / "in").string()});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(has(run.out, fmt::format("· {} → {}", (root_ / "in/tree/x.jpg").string(), (root_ / "out/x-min.jpg").string())))
        << run.out;
    EXPECT_TRUE(has(run.out, "notes.txt  不支持，忽略")) << run.out;
    EXPECT_FALSE(fs::exists(root_ / "out"));
    EXPECT_EQ(namesIn(root_ / "in" / "tree"), (std::vector<std::string>{"notes.txt", "x.jpg"}));
    EXPECT_TRUE(namesIn(root_ / "tmp").empty());
}

// The names under `root` (the run's own output aside), each with a digest of a file's bytes.
std::map<std::string, std::size_t> snapshot(const fs::path& root) {
    std::map<std::string, std::size_t> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (name != "out.txt" && name != "err.txt") found[name] = std::hash<std::string>()(contents(entry.path()));
    }
    return found;
}

// Help, versions and dry runs read the settings and presets (the earlier product's in place) and
// change nothing; a run that compresses moves a damaged file aside, each time to a name of its own.
TEST_F(CliHabitsTest, OnlyCommandsThatCompressWriteSettingsOrPresets) {
    const fs::path data = root_ / "home/.local/share";
    PresetLibrary earlier = PresetLibrary::initial();
    CompressionOptions options;
    options.level = 1;
    const Preset old = earlier.add("旧", options);
    put(data / "Tavelin/presets.json", encodePresetFile(earlier));
    put(root_ / "home/.config/local.tavelin.app.json", R"({"selectedPresetID": ")" + old.id.text() + "\"}");
    const std::string source = place("a.jpg").string();
    fs::create_directories(root_ / "tmp");
    for (const bool damaged : {false, true}) {
        if (damaged) put(data / "Dorvex/presets.json", "{ damaged");
        if (damaged) put(data / "Dorvex/presets.json.bak", "an older backup");
        const auto before = snapshot(root_);
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"--help"}, {"--version"}, {"--list-encoders"}, {"--dry-run", source}}) {
            const DorvexOutcome run = dorvex(args);
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(snapshot(root_), before) << args.front();
            EXPECT_EQ(has(run.out, "level 1 "), !damaged && args.front() == "--help") << run.out;
        }
    }
    for (const std::string text : {"{ damaged", "{ damaged again"}) {
        put(data / "Dorvex/presets.json", text);
        EXPECT_EQ(dorvex({"-o", (root_ / "out" / text).string(), source}).status, 0);
    }
    EXPECT_EQ(contents(data / "Dorvex/presets.json.bak"), "an older backup");
    EXPECT_EQ(contents(data / "Dorvex/presets.json.bak.1"), "{ damaged");
    EXPECT_EQ(contents(data / "Dorvex/presets.json.bak.2"), "{ damaged again");
}

// Names with spaces and line breaks arrive whole through a NUL-separated list, from a file or
// from standard input; line-separated lists keep spaces.
TEST_F(CliHabitsTest, FilesFromLists) {
    const fs::path spaced = place("with space.jpg");
    const fs::path broken = place("line\nbreak.jpg");
    put(root_ / "nul.list", spaced.string() + '\0' + broken.string() + '\0');
    put(root_ / "lines.list", spaced.string() + "\n\n");
    struct Case {
        std::string command;  // run by sh; $D is dorvex
        std::vector<std::string> outputs;
    };
    const std::vector<Case> cases{
        {"$D --files-from \"$R/nul.list\" -0 -o \"$R/out0\"", {"line\nbreak-min.jpg", "with space-min.jpg"}},
        {"cat \"$R/nul.list\" | $D --files-from - -0 -o \"$R/out1\"", {"line\nbreak-min.jpg", "with space-min.jpg"}},
        {"$D --files-from \"$R/lines.list\" -o \"$R/out2\"", {"with space-min.jpg"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string command = fmt::format(
            "R='{0}' D='{1}' HOME='{0}/home' XDG_CONFIG_HOME='{0}/home/.config' XDG_DATA_HOME='{0}/home/.local/share' "
            "TMPDIR='{0}/tmp' sh -c '{2}' >'{0}/list.out' 2>&1",
            root_.string(), DORVEX_CLI_PATH, std::regex_replace(cases[i].command, std::regex("'"), "'\\''"));
        fs::create_directories(root_ / "tmp");
        EXPECT_EQ(std::system(command.c_str()), 0) << cases[i].command << "\n" << contents(root_ / "list.out");
        EXPECT_EQ(namesIn(root_ / fmt::format("out{}", i)), cases[i].outputs) << cases[i].command;
    }
}

TEST_F(CliHabitsTest, VersionsOfTheProgramLibrariesAndEncoders) {
    const DorvexOutcome text = dorvex({"--version"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(text.out.starts_with("dorvex 0.")) << text.out;
    for (const char* name : {"\nlibvips ", "\nlibheif ", "\nFFmpeg ", "\nqpdf ", "\npngquant "}) {
        EXPECT_TRUE(has(text.out, name)) << name << "\n" << text.out;
    }
    const DorvexOutcome json = dorvex({"--list-encoders", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const auto inventory = nlohmann::json::parse(json.out);
    ASSERT_EQ(inventory["libraries"].size(), 4u) << json.out;
    for (const auto& library : inventory["libraries"]) EXPECT_FALSE(library["version"].get<std::string>().empty());
    EXPECT_EQ(inventory["tools"].size(), 4u);
}

TEST(CliHabitsFlags, ParsingTheNewFlags) {
    const auto parsed = [](std::vector<const char*> args) {
        args.insert(args.begin(), "dorvex");
        return cli::parse(int(args.size()), args.data());
    };
    const auto flags = parsed({"--suffix=", "a.jpg", "-0", "--files-from", "-", "--keep-location"});
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->suffix, "");
    EXPECT_EQ(flags->paths, std::vector<std::string>{"a.jpg"});
    EXPECT_TRUE(flags->nullSeparated);
    EXPECT_EQ(cli::apply(*flags, {}).metadata, MetadataPolicy::keepAll);
    EXPECT_EQ(cli::apply(*parsed({"--keep-metadata", "a.jpg"}), {}).metadata, MetadataPolicy::keepWithoutLocation);
    EXPECT_EQ(cli::apply(*parsed({"a.jpg"}), {}).metadata, MetadataPolicy::strip);

    EXPECT_THROW(parsed({"-0", "a.jpg"}), cli::UsageError);        // no list to read
    EXPECT_THROW(parsed({"--level=", "a.jpg"}), cli::UsageError);  // an empty level is no level
    EXPECT_THROW(cli::apply(*parsed({"--keep-structure", "a.jpg"}), {}), cli::UsageError);  // no folder
}

TEST(CliHabitsFlags, TextFitsTheTerminalWidth) {
    struct Case {
        std::string text;
        std::size_t width;
        std::string fitted;
    };
    const std::vector<Case> cases{
        {"abc", 3, "abc"},
        {"abcd", 3, "ab…"},
        {"压缩中 · 第 2 次", 17, "压缩中 · 第 2 次"},
        {"压缩中 · 第 2 次", 6, "压缩…"},  // wide characters take two columns
        {"压缩中", 4, "压…"},
        {"e\u0301e\u0301e\u0301", 3, "e\u0301e\u0301e\u0301"},  // combining marks take none
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cli::fitToWidth(c.text, c.width), c.fitted) << c.text << " in " << c.width;
        EXPECT_LE(cli::columns(cli::fitToWidth(c.text, c.width)), c.width);
    }
}

}  // namespace
}  // namespace dorvex
