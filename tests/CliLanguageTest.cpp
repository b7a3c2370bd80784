// The dorvex command in English: runs that show every outcome (written, limit met and missed,
// skipped, failed, cancelled aside), the clashes of a dry run, the common usage errors, the help and
// the inventory, made with LANGUAGE=en, print no Chinese outside the file names. Without a language
// the same run speaks Chinese, so the English came from the catalogue.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "DorvexProcess.h"
#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;

const fs::path media = DORVEX_TEST_MEDIA_DIR;
// The Chinese stem of some file names: shown as it is in every language, so no leak.
const std::string chineseStem = "照片";

// The lines of `text` with a CJK character (ideographs, their punctuation, full-width forms) once
// the file names are taken out.
std::vector<std::string> chineseLines(std::string text) {
    for (std::size_t at; (at = text.find(chineseStem)) != std::string::npos;) text.erase(at, chineseStem.size());
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        for (std::size_t i = 0; i + 2 < line.size(); ++i) {
            const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(line[i + k]); };
            if ((byte(0) & 0xF0) != 0xE0) continue;
            const unsigned codePoint = ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
            if ((codePoint >= 0x3000 && codePoint <= 0x303F) || (codePoint >= 0x3400 && codePoint <= 0x9FFF) ||
                (codePoint >= 0xFF00 && codePoint <= 0xFFEF)) {
                found.push_back(line);
                break;
            }
        }
    }
    return found;
}

// A run of the command: "@name" in an argument is that entry of the test's folder.
struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> shown;  // what the output must hold, so that the run showed its case
};

void PrintTo(const Case& run, std::ostream* out) { *out << run.name; }

const std::vector<Case> runs{
    {"Results",
     {"--score", "-l", "6", "--max-size", "2KB", "-o", "@out", "@files", "@files/loop", "@missing"},
     1,
     {"✓ 照片.jpg", "✓ docdiff.png", "– sdl2-sample.jxl", "– encrypted.pdf", "✗ broken.png", "✗ loop", "✗ missing",
      "1 unsupported file ignored"}},
    {"LimitMissed", {"--keep-dimensions", "--max-size", "300B", "-o", "@out", "@files/照片.jpg"}, 0, {"50×70  ["}},
    {"Quiet", {"-q", "-o", "@out", "@files/broken.png", "@files/sdl2-sample.jxl"}, 1, {"✗ broken.png"}},
    {"DryRunClashes",
     {"--dry-run", "-f", "webp", "-o", "@out", "@files", "@copies", "@missing"},
     1,
     {"✗ ", "– ", "2 name clashes"}},
    {"DryRunKeptStructure", {"--dry-run", "-f", "webp", "--keep-structure", "-o", "@out", "@files"}, 1, {"✗ "}},
    {"DryRunOntoAnotherSource",
     {"--dry-run", "--suffix=", "-f", "jpeg", "@files/照片.png", "@files/照片.jpg"},
     1,
     {"✗ "}},
    {"Help", {"--help"}, 0, {"--max-size"}},
    {"ListEncoders", {"--list-encoders"}, 0, {"libvips"}},
    {"UsageLevel", {"--level", "9", "@files"}, 2, {"dorvex: "}},
    {"UsageSize", {"--max-size", "3 parsecs", "@files"}, 2, {"dorvex: "}},
    {"UsageUnknownOption", {"--bogus", "@files"}, 2, {"dorvex: "}},
    {"UsageNoPaths", {}, 2, {"dorvex: "}},
    {"UsagePreset", {"--preset", "no such preset", "@files"}, 2, {"dorvex: "}},
    {"UsageFilesFrom", {"--files-from", "@missing"}, 1, {"dorvex: "}},
};

class CliLanguageTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        root_ = makeTemporaryFolder(executableFolder(), "CliLanguageTest-");
        const fs::path files = root_ / "files";
        fs::create_directories(files);
        fs::create_directories(root_ / "copies");
        fs::copy_file(media / "images/orientation_8.jpg", files / (chineseStem + ".jpg"));
        fs::copy_file(media / "images/orientation_8.jpg", root_ / "copies" / (chineseStem + ".jpg"));
        fs::copy_file(media / "images/docdiff-screenshot-format-tty-xterm-en.png", files / (chineseStem + ".png"));
        fs::copy_file(media / "images/docdiff-screenshot-format-tty-xterm-en.png", files / "docdiff.png");
        fs::copy_file(media / "images/sdl2-sample.jxl", files / "sdl2-sample.jxl");
        fs::copy_file(media / "pdfs/a-text-pass-peanuts.pdf", files / "encrypted.pdf");
        put(files / "broken.png", "not a png");
        put(files / "notes.txt", "not media");
        fs::create_symlink("loop", files / "loop");
    }
    void TearDown() override { fs::remove_all(root_); }

    DorvexOutcome dorvex(const Case& run, const std::vector<std::string>& environment) {
        std::vector<std::string> args;
        for (const std::string& arg : run.args) {
            args.push_back(arg.starts_with("@") ? (root_ / arg.substr(1)).string() : arg);
        }
        return DorvexProcess(root_, args, environment).finish(60);
    }

    fs::path root_;
};

TEST_P(CliLanguageTest, EnglishRunShowsNoChinese) {
    const fs::path catalogue =
        fs::path(DORVEX_CLI_PATH).parent_path().parent_path() / "share/locale/en/LC_MESSAGES/dorvex.mo";
    ASSERT_TRUE(fs::exists(catalogue)) << catalogue << " is missing: build the target dorvex_catalogues";
    const Case& run = GetParam();
    const DorvexOutcome outcome = dorvex(run, {"LC_ALL=C.UTF-8", "LANGUAGE=en"});
    const std::string printed = outcome.out + outcome.err;
    EXPECT_EQ(outcome.status, run.status) << printed;
    for (const std::string& text : run.shown) {
        EXPECT_NE(printed.find(text), std::string::npos) << text << "\n" << printed;
    }
    const std::vector<std::string> leaks = chineseLines(printed);
    EXPECT_TRUE(leaks.empty()) << "Chinese in the English run " << run.name << ":\n"
                               << fmt::format("{}", fmt::join(leaks, "\n"));
}

INSTANTIATE_TEST_SUITE_P(Runs, CliLanguageTest, ::testing::ValuesIn(runs),
                         [](const ::testing::TestParamInfo<Case>& tested) { return std::string(tested.param.name); });

TEST_F(CliLanguageTest, WithoutALanguageTheRunSpeaksChinese) {
    const DorvexOutcome outcome = dorvex(runs.front(), {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(outcome.status, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find(" · 成功 "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("已忽略 1 个不支持的文件"), std::string::npos) << outcome.out;
}

// JSON is the same under every locale: an English run's messages are the source texts, made in
// the workers as in the command.
TEST_F(CliLanguageTest, JsonIsTheSameInEveryLanguage) {
    const Case run{"Json", {"--json", "-o", "@out", "@files/broken.png", "@missing"}, 1, {}};
    const DorvexOutcome english = dorvex(run, {"LC_ALL=C.UTF-8", "LANGUAGE=en"});
    const DorvexOutcome source = dorvex(run, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(english.status, 1) << english.out << english.err;
    EXPECT_EQ(english.out, source.out);
    EXPECT_FALSE(chineseLines(english.out).empty()) << english.out;
}

}  // namespace
}  // namespace dorvex
