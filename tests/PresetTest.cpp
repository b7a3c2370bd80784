// Presets: the starter presets, the editing rules, the presets file (reading files written by
// the earlier product, setting aside unusable ones, writing sorted pretty JSON atomically) and
// preset identifiers.

#include "dorvex/library/Preset.h"

#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using testing::contents;
using testing::makeTemporaryFolder;
using testing::namesIn;
using testing::put;

class PresetFileTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = makeTemporaryFolder(testing::executableFolder(), "PresetTest-"); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    fs::path file() const { return folder_ / "Dorvex" / "presets.json"; }
    fs::path backup() const { return folder_ / "Dorvex" / "presets.json.bak"; }

    fs::path folder_;
};

CompressionOptions starterOptions(double level, std::optional<std::int64_t> maxBytes) {
    return CompressionOptions{level,           std::nullopt,           maxBytes,          false,
                              SaveLocation::sourceFolder("-min"),      false, TIFFCompression::lzw,
                              VideoCodec::hevc, std::nullopt,          ""};
}

// A file as the earlier product wrote it: pretty-printed with " : ", sorted keys, whole numbers
// without a fraction, slashes escaped, and a preset of every kind of option.
constexpr const char* kWrittenFile = R"({
  "presets" : [
    {
      "id" : "00000000-0000-0000-0000-000000000001",
      "isBuiltIn" : true,
      "name" : "默认",
      "options" : {
        "filenamePrefix" : "",
        "jxlLossless" : false,
        "keepDimensions" : false,
        "level" : 3,
        "saveLocation" : {
          "sourceFolder" : {
            "suffix" : "-min"
          }
        },
        "tiffCompression" : "lzw",
        "videoCodec" : "hevc"
      }
    },
    {
      "id" : "5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C",
      "isBuiltIn" : false,
      "name" : "Blog \/ small",
      "options" : {
        "filenamePrefix" : "web_",
        "format" : "webp",
        "jxlLossless" : true,
        "keepDimensions" : true,
        "level" : 4.5,
        "maxBytes" : 150000,
        "saveLocation" : {
          "folder" : {
            "_0" : "file:\/\/\/home\/me\/Out\/",
            "suffix" : ""
          }
        },
        "tiffCompression" : "zip",
        "videoCodec" : "h264",
        "videoMaxBytes" : 20000000
      }
    },
    {
      "id" : "a1b2c3d4-0000-4000-8000-00000000abcd",
      "isBuiltIn" : false,
      "name" : "Replace",
      "options" : {
        "keepDimensions" : false,
        "level" : 6,
        "saveLocation" : {
          "overwrite" : {

          }
        }
      }
    }
  ]
})";

PresetLibrary writtenLibrary() {
    CompressionOptions blog{4.5,
                            OutputFormat::webp,
                            150000,
                            true,
                            SaveLocation::folder("/home/me/Out", ""),
                            true,
                            TIFFCompression::zip,
                            VideoCodec::h264,
                            20000000,
                            "web_"};
    CompressionOptions replace = starterOptions(6, std::nullopt);
    replace.saveLocation = SaveLocation::overwrite();
    return PresetLibrary{{
        Preset{PresetLibrary::defaultID, "默认", starterOptions(3, std::nullopt), true},
        Preset{*Uuid::parse("5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C"), "Blog / small", blog, false},
        Preset{*Uuid::parse("A1B2C3D4-0000-4000-8000-00000000ABCD"), "Replace", replace, false},
    }};
}

// ---- starter presets and rules ------------------------------------------------------------

TEST(PresetLibraryTest, StarterPresetsAreDefaultAndWeb) {
    EXPECT_EQ(PresetLibrary::defaultID.text(), "00000000-0000-0000-0000-000000000001");
    EXPECT_EQ(PresetLibrary::webID.text(), "00000000-0000-0000-0000-000000000002");
    const std::vector<Preset> expected{
        {PresetLibrary::defaultID, "默认", starterOptions(3.0, std::nullopt), true},
        {PresetLibrary::webID, "网页", starterOptions(4.0, 200000), false},
    };
    EXPECT_EQ(PresetLibrary::initial().presets, expected);
}

TEST(PresetLibraryTest, RenameTrimsAndRefusesBlankNamesUnknownIdsAndBuiltIns) {
    struct Case {
        const char* what;
        Uuid id;
        std::string name;
        bool renamed;
        std::string webNameAfter;
    };
    const std::vector<Case> cases{
        {"trimmed", PresetLibrary::webID, "  Blog \t\n", true, "Blog"},
        {"ideographic spaces trimmed", PresetLibrary::webID, "\u3000博客\u3000", true, "博客"},
        {"inner blanks kept", PresetLibrary::webID, " a  b ", true, "a  b"},
        {"blanks only", PresetLibrary::webID, " \t\n\u3000", false, "网页"},
        {"empty", PresetLibrary::webID, "", false, "网页"},
        {"built in", PresetLibrary::defaultID, "Mine", false, "网页"},
        {"unknown id", Uuid::random(), "Mine", false, "网页"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PresetLibrary library = PresetLibrary::initial();
        EXPECT_EQ(library.rename(c.id, c.name), c.renamed);
        EXPECT_EQ(library.preset(PresetLibrary::webID)->name, c.webNameAfter);
        EXPECT_EQ(library.preset(PresetLibrary::defaultID)->name, "默认");
    }
}

TEST(PresetLibraryTest, TrimmingLeavesBytesThatAreNotUtf8Alone) {
    EXPECT_EQ(PresetLibrary::trimmedName(" \xFF x \xC3"), "\xFF x \xC3");
    EXPECT_EQ(PresetLibrary::trimmedName("\u00A0\u2028名\u2029\u0085"), "名");
}

TEST(PresetLibraryTest, DeleteRemovesUserPresetsOnly) {
    PresetLibrary library = PresetLibrary::initial();
    const Preset mine = library.add("Mine", starterOptions(2, std::nullopt));
    EXPECT_FALSE(library.remove(PresetLibrary::defaultID));
    EXPECT_FALSE(library.remove(Uuid::random()));
    EXPECT_TRUE(library.remove(PresetLibrary::webID));
    ASSERT_EQ(library.presets.size(), 2u);
    EXPECT_EQ(library.presets[0].id, PresetLibrary::defaultID);
    EXPECT_EQ(library.presets[1], mine);
    EXPECT_FALSE(library.remove(PresetLibrary::webID));
}

TEST(PresetLibraryTest, AddAppendsUserPresetsWithFreshIdentifiers) {
    PresetLibrary library = PresetLibrary::initial();
    const Preset first = library.add("Same", starterOptions(2, std::nullopt));
    const Preset second = library.add("Same", starterOptions(5, 1000));
    EXPECT_NE(first.id, second.id);
    EXPECT_FALSE(first.isBuiltIn);
    ASSERT_EQ(library.presets.size(), 4u);
    EXPECT_EQ(library.presets[2], first);
    EXPECT_EQ(library.presets[3], second);
    EXPECT_EQ(library.preset(second.id)->options.maxBytes, 1000);
}

TEST(PresetLibraryTest, UpdateChangesOptionsOfAnyPresetIncludingTheBuiltIn) {
    PresetLibrary library = PresetLibrary::initial();
    const CompressionOptions changed = starterOptions(1.5, 50000);
    library.update(PresetLibrary::defaultID, changed);
    EXPECT_EQ(library.preset(PresetLibrary::defaultID)->options, changed);
    const PresetLibrary before = library;
    library.update(Uuid::random(), starterOptions(6, std::nullopt));
    EXPECT_EQ(library, before);
}

// ---- the presets file ---------------------------------------------------------------------

TEST_F(PresetFileTest, MissingFileGivesTheStarterPresetsAndWritesNothing) {
    EXPECT_EQ(PresetLibrary::load(file()), PresetLibrary::initial());
    EXPECT_FALSE(fs::exists(file().parent_path()));
}

TEST_F(PresetFileTest, FileWrittenByTheEarlierProductLoadsAndSurvivesARoundTrip) {
    put(file(), kWrittenFile);
    const PresetLibrary loaded = PresetLibrary::load(file());
    EXPECT_EQ(loaded, writtenLibrary());

    loaded.save(file());
    EXPECT_EQ(PresetLibrary::load(file()), loaded);
    EXPECT_FALSE(fs::exists(backup()));
    // Pretty-printed, identifiers in upper case, non-ASCII names as UTF-8.
    const std::string text = contents(file());
    EXPECT_NE(text.find("\n  \"presets\": [\n    {\n      \"id\": \"00000000-0000-0000-0000-000000000001\",\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"A1B2C3D4-0000-4000-8000-00000000ABCD\""), std::string::npos);
    EXPECT_NE(text.find("\"默认\""), std::string::npos);
}

void expectSortedKeys(const json::Json& value, const std::string& path) {
    if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) expectSortedKeys(value[i], path + "." + std::to_string(i));
    } else if (value.is_object()) {
        std::vector<std::string> keys;
        for (const auto& item : value.items()) {
            keys.push_back(item.key());
            expectSortedKeys(item.value(), path + "." + item.key());
        }
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << path;
    }
}

TEST_F(PresetFileTest, SaveWritesSortedKeysAtEveryLevelAndLeavesNoTemporaryFile) {
    writtenLibrary().save(file());
    // Read in file order (ordered_json keeps it) to see the order that was written.
    const json::Json written = json::Json::parse(contents(file()));
    expectSortedKeys(written, "");
    EXPECT_EQ(written["presets"][1]["options"].begin().key(), "filenamePrefix");
    EXPECT_EQ(namesIn(file().parent_path()), std::vector<std::string>{"presets.json"});
}

TEST_F(PresetFileTest, SaveReplacesAnEarlierFile) {
    PresetLibrary library = PresetLibrary::initial();
    library.save(file());
    library.add("Mine", starterOptions(2, std::nullopt));
    library.save(file());
    EXPECT_EQ(PresetLibrary::load(file()), library);
    EXPECT_EQ(namesIn(file().parent_path()), std::vector<std::string>{"presets.json"});
}

TEST_F(PresetFileTest, SaveFailureIsThrownAndLeavesNothingBehind) {
    put(folder_ / "Dorvex", "a file where the folder should be");
    EXPECT_THROW(PresetLibrary::initial().save(file()), AtomicFile::FileError);

    fs::create_directories(folder_ / "Other" / "presets.json" / "inside");  // a folder at the target
    EXPECT_THROW(PresetLibrary::initial().save(folder_ / "Other" / "presets.json"), AtomicFile::FileError);
    EXPECT_EQ(namesIn(folder_ / "Other"), std::vector<std::string>{"presets.json"});
}

TEST_F(PresetFileTest, LibraryWithoutTheDefaultPresetGetsItInFront) {
    struct Case {
        const char* what;
        std::string presets;
        std::vector<std::string> names;
    };
    const std::string user =
        R"({"id":"5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C","name":"Mine","isBuiltIn":false,)"
        R"("options":{"level":2,"keepDimensions":false,"saveLocation":{"overwrite":{}}}})";
    const std::string web =
        R"({"id":"00000000-0000-0000-0000-000000000002","name":"网页","isBuiltIn":false,)"
        R"("options":{"level":4,"maxBytes":200000,"keepDimensions":false,"saveLocation":{"sourceFolder":{"suffix":"-min"}}}})";
    const std::vector<Case> cases{
        {"empty list", "[]", {"默认"}},
        {"user preset first", "[" + user + "]", {"默认", "Mine"}},
        {"order of the rest kept", "[" + user + "," + web + "]", {"默认", "Mine", "网页"}},
        {"web only", "[" + web + "]", {"默认", "网页"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put(file(), R"({"presets":)" + c.presets + "}");
        const PresetLibrary library = PresetLibrary::load(file());
        std::vector<std::string> names;
        for (const auto& preset : library.presets) names.push_back(preset.name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(library.presets.front(), PresetLibrary::initial().presets.front());
        EXPECT_FALSE(fs::exists(backup()));
    }
}

TEST_F(PresetFileTest, UnusableFileIsMovedAsideBesideOlderBackups) {
    const std::string preset =
        R"("id":"5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C","name":"Mine",)"
        R"("options":{"level":2,"keepDimensions":false,"saveLocation":{"overwrite":{}}})";
    const std::vector<std::pair<const char*, std::string>> cases{
        {"not JSON", "{\"presets\": [ oops"},
        {"empty file", ""},
        {"no presets key", R"({"items":[]})"},
        {"presets not a list", R"({"presets":{}})"},
        {"root is a list", "[]"},
        {"a preset lacks isBuiltIn", R"({"presets":[{)" + preset + "}]}"},
        {"identifier is no UUID", R"({"presets":[{"id":"1234","name":"x","isBuiltIn":false,"options":{"level":2,"keepDimensions":false,"saveLocation":{"overwrite":{}}}}]})"},
        {"option of the wrong type", R"({"presets":[{)" + preset + R"(,"isBuiltIn":"no"}]})"},
        {"unknown format", R"({"presets":[{"id":"5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C","name":"x","isBuiltIn":false,"options":{"level":2,"format":"gif","keepDimensions":false,"saveLocation":{"overwrite":{}}}}]})"},
        {"not UTF-8", "{\"presets\":[],\"x\":\"\xFF\"}"},
    };
    put(backup(), "an older backup");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        put(file(), cases[i].second);
        // Read-only, it stays where it is; otherwise it takes the next free backup name.
        EXPECT_EQ(PresetLibrary::load(file(), StoreAccess::readOnly), PresetLibrary::initial());
        EXPECT_EQ(contents(file()), cases[i].second);
        EXPECT_EQ(PresetLibrary::load(file()), PresetLibrary::initial());
        EXPECT_FALSE(fs::exists(file()));
        EXPECT_EQ(contents(fs::path(backup()) += "." + std::to_string(i + 1)), cases[i].second);
    }
    EXPECT_EQ(contents(backup()), "an older backup");
}

TEST_F(PresetFileTest, UnusableFileIsKeptWithoutPermissionToMoveIt) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    put(file(), "not JSON");
    fs::permissions(file().parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(PresetLibrary::load(file()), PresetLibrary::initial());
    fs::permissions(file().parent_path(), fs::perms::owner_all);
    EXPECT_EQ(namesIn(file().parent_path()), std::vector<std::string>{"presets.json"});
}

// A bare folder path with a trailing slash read back as another folder once written as a file
// URL (found by fuzzing); a NUL, which no URL carries, would not read back at all.
TEST(PresetJsonTest, SaveFoldersReadBackAsWritten) {
    for (const std::string folder : {"/oe/", "/oe//", "/", "/a\\u0000b"}) {
        SCOPED_TRACE(folder);
        const json::Json file = json::Json::parse(
            R"({"presets":[{"id":"19103230-0000-0000-0000-000000000001","isBuiltIn":true,"name":"黤","options":)"
            R"({"level":4,"keepDimensions":true,"saveLocation":{"folder":{"_0":")" + folder + R"(","suffix":""}}}}]})");
        if (folder.find('\\') != std::string::npos) {
            EXPECT_THROW(decodePresetLibrary(file), DecodingError);
            continue;
        }
        const PresetLibrary library = decodePresetLibrary(file);
        EXPECT_EQ(decodePresetLibrary(json::Json::parse(encodePresetFile(library))), library);
    }
}

// ---- identifiers --------------------------------------------------------------------------

TEST(UuidTest, ParsesTheStandardFormInEitherCaseAndWritesUpperCase) {
    const auto id = Uuid::parse("5b0e8a1c-3f4d-4e2a-9c1b-7d6e5f4a3b2c");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->text(), "5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C");
    EXPECT_EQ(Uuid::parse(id->text()), id);
    for (const char* bad : {"", "5B0E8A1C3F4D4E2A9C1B7D6E5F4A3B2C", "{5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C}",
                            "5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2", "5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2G",
                            "5B0E8A1C-3F4D4-E2A-9C1B-7D6E5F4A3B2C", "5B0E8A1C-3F4D-4E2A-9C1B-7D6E5F4A3B2C "}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

TEST(UuidTest, RandomIdentifiersAreVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string text = Uuid::random().text();
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace dorvex
