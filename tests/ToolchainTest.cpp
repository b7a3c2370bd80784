// Locating the encoders (search order, executability, candidates kept as built), the missing
// list and its messages, reading version lines, and the real tools of this machine.

#include "dorvex/image/Toolchain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::Toolchain;
using Tool = Toolchain::Tool;
using Environment = std::map<std::string, std::string>;

namespace {

// A fresh folder per test, removed afterwards.
using dorvex::testing::TemporaryFolder;

enum class Mode { executable, plain };

void writeFile(const fs::path& file, const std::string& text, Mode mode) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    fs::permissions(file, mode == Mode::executable ? fs::perms(0755) : fs::perms(0644));
}

void writeScript(const fs::path& file, const std::string& body) {
    writeFile(file, "#!/bin/sh\n" + body + "\n", Mode::executable);
}

// Replaces every "@" with the temporary folder.
std::string expand(const std::string& text, const std::string& folder) {
    std::string result;
    for (char c : text) result += c == '@' ? folder : std::string(1, c);
    return result;
}

}  // namespace

// ---- candidates ---------------------------------------------------------------------------

struct CandidateCase {
    const char* name;
    Environment environment;
    std::optional<fs::path> bundled;
    Tool tool;
    std::vector<std::string> expected;
};

void PrintTo(const CandidateCase& c, std::ostream* out) { *out << c.name; }

class CandidateOrder : public testing::TestWithParam<CandidateCase> {};

TEST_P(CandidateOrder, FollowsTheSearchOrderAndKeepsTheTextAsBuilt) {
    const CandidateCase& c = GetParam();
    EXPECT_EQ(Toolchain::candidates(c.tool, c.environment, c.bundled), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Toolchain, CandidateOrder,
    testing::Values(
        CandidateCase{"everything_set_cjpeg_uses_the_keg_path",
                      {{"DORVEX_CJPEG", "/v1/cjpeg"},
                       {"TAVELIN_CJPEG", "/v2/cjpeg"},
                       {"HOMEBREW_PREFIX", "/hb"},
                       {"HOME", "/home/u"},
                       {"PATH", "/p1:/p2/"}},
                      fs::path("/app/bin"),
                      Tool::cjpeg,
                      {"/v1/cjpeg", "/v2/cjpeg", "/app/bin/cjpeg", "/hb/opt/mozjpeg/bin/cjpeg",
                       "/home/linuxbrew/.linuxbrew/opt/mozjpeg/bin/cjpeg",
                       "/opt/homebrew/opt/mozjpeg/bin/cjpeg", "/usr/local/opt/mozjpeg/bin/cjpeg",
                       "/home/u/.homebrew/opt/mozjpeg/bin/cjpeg", "/p1/cjpeg", "/p2//cjpeg"}},
        CandidateCase{"second_variable_alone_and_empty_values_kept",
                      {{"TAVELIN_PNGQUANT", ""}, {"HOME", "/h"}, {"PATH", ""}},
                      std::nullopt,
                      Tool::pngquant,
                      {"", "/home/linuxbrew/.linuxbrew/bin/pngquant", "/opt/homebrew/bin/pngquant",
                       "/usr/local/bin/pngquant", "/h/.homebrew/bin/pngquant"}},
        CandidateCase{"empty_path_pieces_dropped",
                      {{"HOME", "/h"}, {"PATH", "::/usr/bin:"}},
                      std::nullopt,
                      Tool::cwebp,
                      {"/home/linuxbrew/.linuxbrew/bin/cwebp", "/opt/homebrew/bin/cwebp",
                       "/usr/local/bin/cwebp", "/h/.homebrew/bin/cwebp", "/usr/bin/cwebp"}},
        CandidateCase{"bundled_folder_with_trailing_slash_and_relative_path_folder",
                      {{"HOME", "/h"}, {"PATH", "bin:/x"}, {"DORVEX_CWEBP", "/ignored/for/cjxl"}},
                      fs::path("/app/bin/"),
                      Tool::cjxl,
                      {"/app/bin/cjxl", "/home/linuxbrew/.linuxbrew/bin/cjxl", "/opt/homebrew/bin/cjxl",
                       "/usr/local/bin/cjxl", "/h/.homebrew/bin/cjxl", "bin/cjxl", "/x/cjxl"}}),
    [](const testing::TestParamInfo<CandidateCase>& row) { return std::string(row.param.name); });

TEST(Toolchain, HomeFolderComesFromTheUserDatabaseWhenHomeIsUnsetOrEmpty) {
    for (const Environment& environment : {Environment{}, Environment{{"HOME", ""}}}) {
        std::vector<std::string> list = Toolchain::candidates(Tool::cjxl, environment, std::nullopt);
        ASSERT_FALSE(list.empty());
        EXPECT_NE(list.back(), "/.homebrew/bin/cjxl");
        EXPECT_TRUE(list.back().ends_with("/.homebrew/bin/cjxl")) << list.back();
    }
}

// ---- locate --------------------------------------------------------------------------------

struct LocateCase {
    const char* name;
    std::vector<std::pair<std::string, Mode>> files;  // "@" is the temporary folder
    Environment environment;                          // values may use "@"
    std::optional<std::string> bundled;               // "@" too
    Tool tool;
    std::optional<std::string> expected;              // "@" too; absent: not found
};

void PrintTo(const LocateCase& c, std::ostream* out) { *out << c.name; }

class LocateOrder : public testing::TestWithParam<LocateCase> {};

TEST_P(LocateOrder, TakesTheFirstExecutableCandidate) {
    const LocateCase& c = GetParam();
    TemporaryFolder folder;
    for (const auto& [file, mode] : c.files)
        writeFile(expand(file, folder.string()), "#!/bin/sh\n", mode);
    Environment environment{{"HOME", folder.string() + "/home"}};
    for (const auto& [name, value] : c.environment) environment[name] = expand(value, folder.string());
    std::optional<fs::path> bundled;
    if (c.bundled) bundled = expand(*c.bundled, folder.string());

    // The fixed prefixes are real folders; a tool installed there would be found before PATH.
    for (const std::string& candidate : Toolchain::candidates(c.tool, {{"HOME", "/nonexistent"}}, {}))
        if (fs::exists(candidate)) {
            GTEST_SKIP() << candidate << " exists on this machine";
        }

    std::optional<std::string> expected;
    if (c.expected) expected = expand(*c.expected, folder.string());
    EXPECT_EQ(Toolchain::locate(environment, bundled).path(c.tool), expected);
}

constexpr Mode X = Mode::executable;
constexpr Mode P = Mode::plain;

INSTANTIATE_TEST_SUITE_P(
    Toolchain, LocateOrder,
    testing::Values(
        LocateCase{"first_variable_wins",
                   {{"@/a/cjpeg", X}, {"@/b/cjpeg", X}},
                   {{"DORVEX_CJPEG", "@/a/cjpeg"}, {"TAVELIN_CJPEG", "@/b/cjpeg"}},
                   std::nullopt, Tool::cjpeg, "@/a/cjpeg"},
        LocateCase{"non_executable_first_variable_passed_over",
                   {{"@/a/cjpeg", P}, {"@/b/cjpeg", X}},
                   {{"DORVEX_CJPEG", "@/a/cjpeg"}, {"TAVELIN_CJPEG", "@/b/cjpeg"}},
                   std::nullopt, Tool::cjpeg, "@/b/cjpeg"},
        LocateCase{"empty_and_folder_variables_passed_over",
                   {{"@/dir/cwebp/keep", P}, {"@/path/cwebp", X}},
                   {{"DORVEX_CWEBP", ""}, {"TAVELIN_CWEBP", "@/dir/cwebp"}, {"PATH", "@/path"}},
                   std::nullopt, Tool::cwebp, "@/path/cwebp"},
        LocateCase{"variables_need_no_particular_file_name",
                   {{"@/tools/my-quantizer", X}},
                   {{"DORVEX_PNGQUANT", "@/tools/my-quantizer"}},
                   std::nullopt, Tool::pngquant, "@/tools/my-quantizer"},
        LocateCase{"bundled_folder_before_prefix_and_path",
                   {{"@/app/bin/cjxl", X}, {"@/brew/bin/cjxl", X}, {"@/path/cjxl", X}},
                   {{"HOMEBREW_PREFIX", "@/brew"}, {"PATH", "@/path"}},
                   "@/app/bin", Tool::cjxl, "@/app/bin/cjxl"},
        LocateCase{"homebrew_prefix_before_path",
                   {{"@/brew/bin/pngquant", X}, {"@/path/pngquant", X}},
                   {{"HOMEBREW_PREFIX", "@/brew"}, {"PATH", "@/path"}},
                   std::nullopt, Tool::pngquant, "@/brew/bin/pngquant"},
        LocateCase{"cjpeg_under_a_prefix_only_from_the_mozjpeg_keg",
                   {{"@/brew/bin/cjpeg", X}, {"@/path/cjpeg", X}},
                   {{"HOMEBREW_PREFIX", "@/brew"}, {"PATH", "@/path"}},
                   std::nullopt, Tool::cjpeg, "@/path/cjpeg"},
        LocateCase{"cjpeg_in_the_keg",
                   {{"@/brew/opt/mozjpeg/bin/cjpeg", X}, {"@/path/cjpeg", X}},
                   {{"HOMEBREW_PREFIX", "@/brew"}, {"PATH", "@/path"}},
                   std::nullopt, Tool::cjpeg, "@/brew/opt/mozjpeg/bin/cjpeg"},
        LocateCase{"home_homebrew_before_path",
                   {{"@/home/.homebrew/bin/cwebp", X}, {"@/path/cwebp", X}},
                   {{"PATH", "@/path"}},
                   std::nullopt, Tool::cwebp, "@/home/.homebrew/bin/cwebp"},
        LocateCase{"first_path_folder_holding_it_wins_text_kept",
                   {{"@/one/cjxl", P}, {"@/two/cjxl", X}, {"@/three/cjxl", X}},
                   {{"PATH", "::@/one:@/two/:@/three"}},
                   std::nullopt, Tool::cjxl, "@/two//cjxl"},
        LocateCase{"found_nowhere",
                   {{"@/path/cwebp", P}},
                   {{"DORVEX_CWEBP", "@/missing"}, {"PATH", "@/path"}},
                   "@/no-such-folder", Tool::cwebp, std::nullopt}),
    [](const testing::TestParamInfo<LocateCase>& row) { return std::string(row.param.name); });

TEST(Toolchain, SymbolicLinksAreFollowedForTheTestButNotStored) {
    TemporaryFolder folder;
    writeFile(folder.path() / "real" / "pngquant-2.17", "#!/bin/sh\n", Mode::executable);
    fs::create_directories(folder.path() / "path");
    fs::create_symlink("../real/pngquant-2.17", folder.path() / "path" / "pngquant");
    fs::create_symlink("../real/missing", folder.path() / "path" / "cwebp");
    Environment environment{{"HOME", folder.string()}, {"PATH", folder.string() + "/path"}};
    Toolchain toolchain = Toolchain::locate(environment, std::nullopt);
    EXPECT_EQ(toolchain.pngquant, folder.string() + "/path/pngquant");
    if (!fs::exists("/usr/local/bin/cwebp")) {
        EXPECT_EQ(toolchain.cwebp, std::nullopt);  // a dangling link is passed over
    }
}

TEST(Toolchain, IgnoredVariablesAreNamedWithTheReason) {
    TemporaryFolder folder;
    writeFile(folder.path() / "cjpeg", "#!/bin/sh\n", Mode::executable);
    writeFile(folder.path() / "plain", "not a program\n", Mode::plain);
    const Environment environment{{"DORVEX_CJPEG", folder.string() + "/cjpeg"},
                                  {"DORVEX_PNGQUANT", folder.string() + "/plain"},
                                  {"TAVELIN_CWEBP", folder.string() + "/missing"},
                                  {"DORVEX_CJXL", ""}};
    EXPECT_EQ(Toolchain::ignoredVariables(environment),
              (std::vector<std::string>{"DORVEX_PNGQUANT=" + folder.string() + "/plain is ignored: not an executable file",
                                        "TAVELIN_CWEBP=" + folder.string() + "/missing is ignored: no such file"}));
}

// ---- missing encoders ----------------------------------------------------------------------

TEST(Toolchain, MissingEncodersNamesTheAbsentToolsInFieldOrder) {
    EXPECT_EQ((Toolchain{"/a/cjpeg", std::nullopt, "/a/cwebp", std::nullopt}.missingEncoders()),
              (std::vector<std::string>{"pngquant", "cjxl"}));
    EXPECT_EQ(Toolchain{}.missingEncoders(),
              (std::vector<std::string>{"mozjpeg cjpeg", "pngquant", "cwebp", "cjxl"}));
    EXPECT_TRUE((Toolchain{"/a", "/b", "/c", "/d"}.missingEncoders().empty()));
}

TEST(Toolchain, MissingErrorCarriesTheNameAndAHintNamingTheToolsVariable) {
    dorvex::ToolError error = Toolchain::missingError(Tool::cjpeg);
    EXPECT_STREQ(error.what(), "mozjpeg cjpeg not found (run scripts/setup, or set DORVEX_CJPEG)");
    EXPECT_EQ(error.kind, dorvex::ToolError::Kind::encoderMissing);
    for (const Toolchain::ToolInfo& info : Toolchain::tools) {
        dorvex::ToolError missing = Toolchain::missingError(info.tool);
        EXPECT_EQ(missing.name, info.name);
        EXPECT_TRUE(missing.hint.ends_with(", or set " + std::string(info.firstVariable)))
            << missing.hint;
    }
}

// ---- version lines -------------------------------------------------------------------------

TEST(ToolchainVersion, ArgumentGoesByTheFileName) {
    TemporaryFolder folder;
    const std::pair<const char*, const char*> cases[] = {
        {"cjpeg", "1:-version"},      {"cwebp", "1:-version"},       {"cwebp2", "1:--version"},
        {"pngquant", "1:--version"},  {"cjxl", "1:--version"},       {"my-cjpeg", "1:--version"},
        {"cjpeg.sh", "1:--version"},
    };
    for (const auto& [name, expected] : cases) {
        fs::path tool = folder.path() / name;
        writeScript(tool, R"(echo "$#:$1")");
        EXPECT_EQ(Toolchain::version(tool.string()), expected) << name;
    }
}

TEST(ToolchainVersion, FirstNonEmptyLineOfStandardOutputAndErrorUntrimmed) {
    TemporaryFolder folder;
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {R"(printf '\n\n1.2.3 \nsecond\n')", "1.2.3 "},
        {R"(printf '\n  v2\r\n')", "  v2\r"},
        {R"(echo 'mozjpeg version 3.2' >&2; exit 0)", "mozjpeg version 3.2"},
        {R"(echo first >&2; echo second)", "first"},  // one pipe for both, in order written
        {R"(printf 'last line without break')", "last line without break"},
        {R"(printf 'v\377\300x\n')", "v\xEF\xBF\xBD\xEF\xBF\xBDx"},
        {R"(echo 'usage: tool' >&2; exit 2)", "usage: tool"},  // the exit status is not looked at
        {R"(printf '\n\n\n')", std::nullopt},
        {R"(exit 0)", std::nullopt},
    };
    int index = 0;
    for (const auto& [body, expected] : cases) {
        fs::path tool = folder.path() / ("tool" + std::to_string(index++));
        writeScript(tool, body);
        EXPECT_EQ(Toolchain::version(tool.string()), expected) << body;
    }
}

TEST(ToolchainVersion, NothingWhenTheToolCannotBeStarted) {
    TemporaryFolder folder;
    writeFile(folder.path() / "plain", "#!/bin/sh\necho 1\n", Mode::plain);
    EXPECT_EQ(Toolchain::version((folder.path() / "missing").string()), std::nullopt);
    EXPECT_EQ(Toolchain::version((folder.path() / "plain").string()), std::nullopt);
    EXPECT_EQ(Toolchain::version(folder.string()), std::nullopt);
}

// ---- this process and this machine ---------------------------------------------------------

TEST(Toolchain, ProcessEnvironmentKeepsValuesWithEqualsSigns) {
    ASSERT_EQ(::setenv("DORVEX_TOOLCHAIN_TEST_PROBE", "a=b=c", 1), 0);
    Environment environment = dorvex::processEnvironment();
    ::unsetenv("DORVEX_TOOLCHAIN_TEST_PROBE");
    EXPECT_EQ(environment["DORVEX_TOOLCHAIN_TEST_PROBE"], "a=b=c");
    EXPECT_EQ(environment["PATH"], std::string(::getenv("PATH")));
}

TEST(Toolchain, ResourceFolderIsFoundBesideTheBuildsBinFolder) {
    if (!fs::is_directory(DORVEX_RESOURCE_DIR)) GTEST_SKIP() << "no " DORVEX_RESOURCE_DIR;
    std::optional<fs::path> resources = dorvex::resourceFolder();
    ASSERT_TRUE(resources);
    EXPECT_TRUE(fs::equivalent(*resources, DORVEX_RESOURCE_DIR)) << *resources;
    EXPECT_EQ(dorvex::bundledBinariesFolder(), *resources / "bin");
}

TEST(Toolchain, FindsAndReadsTheRealEncodersOfThisMachine) {
    const fs::path bundled = fs::path(DORVEX_RESOURCE_DIR) / "bin";
    if (!fs::exists(bundled / "cjpeg")) GTEST_SKIP() << "no bundled cjpeg: run scripts/setup";
    Toolchain toolchain = Toolchain::locate(dorvex::processEnvironment(), bundled);
    for (const std::string& missing : toolchain.missingEncoders()) {
        GTEST_SKIP() << missing << " is not installed on this machine";
    }
    if (!std::getenv("DORVEX_CJPEG") && !std::getenv("TAVELIN_CJPEG")) {
        EXPECT_EQ(toolchain.cjpeg, (bundled / "cjpeg").string());
    }
    for (const Toolchain::ToolInfo& info : Toolchain::tools) {
        std::optional<std::string> line = Toolchain::version(*toolchain.path(info.tool));
        ASSERT_TRUE(line) << info.name;
        EXPECT_FALSE(line->empty()) << info.name;
    }
    EXPECT_NE(Toolchain::version(*toolchain.cjpeg)->find("mozjpeg"), std::string::npos);
}
