// Output placement: naming, the write sequence with its clashes, warnings and crashes, markers,
// the no-savings rule, the desktop trash, and concurrent writes to one destination.
//
// Files live in temporary folders beside the test executable, and HOME and XDG_DATA_HOME point at
// a test home there, so the trash is the test's own home trash, on the same file system as the
// files.

#include "dorvex/output/OutputPlanner.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "TestSupport.h"
#include "dorvex/platform/Trash.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;
using OutputPlanner::WriteOutcome;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("OutputPlannerTest-"));

std::optional<std::string> attribute(const fs::path& file, std::string_view name) {
    std::array<char, 4096> buffer{};
    const ssize_t length = ::getxattr(file.c_str(), std::string(name).c_str(), buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    return std::string(buffer.data(), std::size_t(length));
}

void setAttribute(const fs::path& file, std::string_view name, std::string_view value) {
    ASSERT_EQ(::setxattr(file.c_str(), std::string(name).c_str(), value.data(), value.size(), 0), 0);
}

// The contents of every file in the test trash, sorted.
std::vector<std::string> trashContents() {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(TestHome::trashFiles(), error)) found.push_back(contents(entry));
    std::sort(found.begin(), found.end());
    return found;
}

// The Path line of the trash's record for `name`; empty when there is none.
std::string trashedPath(const std::string& name) {
    std::ifstream info(TestHome::trashFiles().parent_path() / "info" / (name + ".trashinfo"));
    for (std::string line; std::getline(info, line);) {
        if (line.starts_with("Path=")) return line.substr(5);
    }
    return {};
}

// Sets the write's step hook for as long as it lives.
struct StepHook {
    explicit StepHook(std::function<void(OutputPlanner::Testing::Step)> hook) {
        OutputPlanner::Testing::afterStep = std::move(hook);
    }
    ~StepHook() { OutputPlanner::Testing::afterStep = nullptr; }
};

const OutputPlanner::TrashOperation failingTrash = [](const fs::path&) -> Trash::Entry {
    throw Trash::Error("no trash here");
};

// ---- naming --------------------------------------------------------------------------------

struct NamingCase {
    std::string name;
    std::string prefix;
    SaveLocation location;
    bool valid;
};

TEST(OutputPlannerNaming, RejectsSlashAndNulOutsideOverwrite) {
    using namespace std::string_literals;
    const std::vector<NamingCase> cases{
        {"empty prefix and suffix", "", SaveLocation::sourceFolder(""), true},
        {"ordinary", "s_", SaveLocation::folder("/out", "-min"), true},
        {"slash in prefix", "a/b", SaveLocation::sourceFolder(), false},
        {"nul in prefix", "a\0b"s, SaveLocation::sourceFolder(), false},
        {"slash in beside suffix", "", SaveLocation::sourceFolder("-/min"), false},
        {"slash in folder suffix", "", SaveLocation::folder("/out", "/"), false},
        {"nul in folder suffix", "", SaveLocation::folder("/out", "-min\0"s), false},
        {"overwrite ignores slash", "a/b", SaveLocation::overwrite(), true},
        {"overwrite ignores nul", "\0"s, SaveLocation::overwrite(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.valid) {
            EXPECT_NO_THROW(OutputPlanner::validateNaming(c.prefix, c.location));
            continue;
        }
        try {
            OutputPlanner::validateNaming(c.prefix, c.location);
            ADD_FAILURE() << "accepted";
        } catch (const OutputPlanner::NamingError& error) {
            EXPECT_STREQ(error.what(), "文件名前缀和后缀不能包含 / 或空字符");
            EXPECT_EQ(error, OutputPlanner::NamingError::invalidCharacters());
        }
    }
}

struct DestinationCase {
    fs::path source;
    OutputFormat format;
    SaveLocation location;
    std::string prefix;
    fs::path expected;
};

TEST(OutputPlannerNaming, Destinations) {
    const std::vector<DestinationCase> cases{
        {"/a/photo.png", OutputFormat::webp, SaveLocation::sourceFolder("-min"), "", "/a/photo-min.webp"},
        {"/a/photo.png", OutputFormat::webp, SaveLocation::sourceFolder("-min"), "s_", "/a/s_photo-min.webp"},
        {"/a/photo.png", OutputFormat::webp, SaveLocation::folder("/out", ""), "", "/out/photo.webp"},
        {"/a/photo.png", OutputFormat::jpeg, SaveLocation::sourceFolder("-min"), "", "/a/photo-min.jpg"},
        {"/a/a.b.png", OutputFormat::png, SaveLocation::sourceFolder(""), "", "/a/a.b.png"},
        {"/a/noext", OutputFormat::png, SaveLocation::sourceFolder("-min"), "", "/a/noext-min.png"},
        {"/a/clip.mov", OutputFormat::mp4, SaveLocation::sourceFolder("-min"), "", "/a/clip-min.mp4"},
        {"/a/照片.jpg", OutputFormat::jpeg, SaveLocation::folder("/出", "-小"), "压缩_", "/出/压缩_照片-小.jpg"},
        // Overwrite: the source itself when its extension names a type of the format, else the
        // base name with the format's extension; never a prefix.
        {"/a/photo.png", OutputFormat::webp, SaveLocation::overwrite(), "p_", "/a/photo.webp"},
        {"/a/photo.png", OutputFormat::png, SaveLocation::overwrite(), "p_", "/a/photo.png"},
        {"/a/x.JPG", OutputFormat::jpeg, SaveLocation::overwrite(), "", "/a/x.JPG"},
        {"/a/x.jpeg", OutputFormat::jpeg, SaveLocation::overwrite(), "", "/a/x.jpeg"},
        {"/a/x.tif", OutputFormat::tiff, SaveLocation::overwrite(), "", "/a/x.tif"},
        {"/a/x.heif", OutputFormat::heic, SaveLocation::overwrite(), "", "/a/x.heif"},
        {"/a/x.jpeg", OutputFormat::png, SaveLocation::overwrite(), "", "/a/x.png"},
        {"/a/x.bmp", OutputFormat::png, SaveLocation::overwrite(), "", "/a/x.png"},
        {"/a/noext", OutputFormat::jpeg, SaveLocation::overwrite(), "", "/a/noext.jpg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.string() + " as " + std::string(c.format.rawValue()));
        EXPECT_EQ(OutputPlanner::destination(c.source, c.format, c.location, c.prefix), c.expected);
    }
}

// ---- rules and markers ---------------------------------------------------------------------

TEST(OutputPlannerRules, NoSavings) {
    struct Case {
        std::int64_t source, output;
        bool sameFormat;
        std::optional<std::int64_t> limit;
        bool expected;
    };
    const std::vector<Case> cases{
        {100, 100, true, std::nullopt, true},   // not smaller
        {100, 150, true, std::nullopt, true},
        {100, 99, true, std::nullopt, false},   // smaller
        {100, 150, false, std::nullopt, false}, // another format
        {0, 10, true, std::nullopt, false},     // empty source
        {100, 150, true, 100, true},            // already within the limit
        {100, 150, true, 500, true},
        {100, 150, true, 99, false},            // over the limit: never
        {100, 50, true, 99, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.source << " → " << c.output << " same " << c.sameFormat
                                          << " limit " << c.limit.value_or(-1));
        EXPECT_EQ(OutputPlanner::isNoSavings(c.source, c.output, c.sameFormat, c.limit), c.expected);
    }
}

class OutputPlannerFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTemporaryFolder(TestHome::root(), "case-");
        std::error_code ignored;
        fs::remove_all(TestHome::trashFiles().parent_path(), ignored);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }
    fs::path file(const std::string& name, const std::string& data) {
        put(dir_ / name, data);
        return dir_ / name;
    }

    fs::path dir_;
};

TEST_F(OutputPlannerFiles, MarkersAreWrittenUnderBothNamesWithTheSourceRecord) {
    const fs::path output = file("x-min.png", "out");
    EXPECT_FALSE(OutputPlanner::isOptimized(output));
    OutputPlanner::markOptimized(output, OutputPlanner::normalMarker, dir_ / "sub" / ".." / "x.png");
    EXPECT_EQ(attribute(output, "user.local.dorvex.optimized"), "1");
    EXPECT_EQ(attribute(output, "user.local.tavelin.optimized"), "1");
    EXPECT_EQ(attribute(output, "user.local.dorvex.source"), (dir_ / "x.png").string());
    EXPECT_TRUE(OutputPlanner::isOptimized(output));

    const fs::path legacy = file("legacy.png", "out");
    setAttribute(legacy, "user.local.tavelin.optimized", "overwrite");
    EXPECT_TRUE(OutputPlanner::isOptimized(legacy));

    // A missing file is not marked, and marking it fails silently.
    EXPECT_FALSE(OutputPlanner::isOptimized(dir_ / "missing.png"));
    EXPECT_NO_THROW(OutputPlanner::markOptimized(dir_ / "missing.png", "1"));
}

TEST_F(OutputPlannerFiles, ReplaceableOutputs) {
    const fs::path source = file("a/x.png", "source");
    const fs::path otherSource = file("b/x.png", "other");
    enum class Record { none, same, sameOtherSpelling, other };
    struct Case {
        std::string name;
        std::optional<std::string> marker, legacy;
        Record record;
        bool expected;
    };
    const std::vector<Case> cases{
        {"unmarked", std::nullopt, std::nullopt, Record::none, false},
        {"unmarked with a record", std::nullopt, std::nullopt, Record::same, false},
        {"ours, no record", "1", std::nullopt, Record::none, true},
        {"legacy only", std::nullopt, "1", Record::none, true},
        {"both, same source", "1", "1", Record::same, true},
        {"both, same source spelled otherwise", "1", "1", Record::sameOtherSpelling, true},
        {"both, another source", "1", "1", Record::other, false},
        {"overwrite", "overwrite", std::nullopt, Record::none, false},
        {"legacy overwrite", std::nullopt, "overwrite", Record::none, false},
        {"mixed", "1", "overwrite", Record::same, false},
        {"1 with a terminating zero", std::string("1\0", 2), std::nullopt, Record::none, false},
        {"longer than 64 bytes", std::string(80, '1'), std::nullopt, Record::none, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path existing = file("out/" + std::to_string(index++) + ".png", "earlier");
        if (c.marker) setAttribute(existing, OutputPlanner::optimizedAttribute, *c.marker);
        if (c.legacy) setAttribute(existing, OutputPlanner::legacyOptimizedAttribute, *c.legacy);
        switch (c.record) {
            case Record::none: break;
            case Record::same: setAttribute(existing, OutputPlanner::sourceAttribute, source.string()); break;
            case Record::sameOtherSpelling:
                setAttribute(existing, OutputPlanner::sourceAttribute, (dir_ / "b" / ".." / "a" / "x.png").string());
                break;
            case Record::other: setAttribute(existing, OutputPlanner::sourceAttribute, otherSource.string()); break;
        }
        EXPECT_EQ(OutputPlanner::isReplaceableOutput(existing, source), c.expected);
    }
}

// ---- writing -------------------------------------------------------------------------------

TEST_F(OutputPlannerFiles, WritesACopyBesideTheSource) {
    const fs::path source = file("photos/x.png", "source");
    const fs::path produced = file("work/attempt-0.webp", "produced");
    fs::permissions(produced, fs::perms(0644));
    const fs::path target =
        OutputPlanner::destination(source, OutputFormat::webp, SaveLocation::sourceFolder("-min"), "");

    const WriteOutcome outcome = OutputPlanner::write(produced, target, source, SaveLocation::sourceFolder("-min"));

    EXPECT_EQ(outcome, (WriteOutcome{dir_ / "photos" / "x-min.webp", {}}));
    EXPECT_EQ(contents(outcome.url), "produced");
    EXPECT_EQ(contents(produced), "produced");  // copied, not moved
    EXPECT_EQ(contents(source), "source");
    EXPECT_EQ(attribute(outcome.url, "user.local.dorvex.optimized"), "1");
    EXPECT_EQ(attribute(outcome.url, "user.local.tavelin.optimized"), "1");
    EXPECT_EQ(attribute(outcome.url, "user.local.dorvex.source"), source.string());
    EXPECT_EQ(fs::status(outcome.url).permissions(), fs::perms(0644));  // not a temporary's 0600
    EXPECT_EQ(namesIn(dir_ / "photos"), (std::vector<std::string>{"x-min.webp", "x.png"}));
    EXPECT_TRUE(trashContents().empty());
}

// New outputs wait for one flush of their filesystem, which is no failure when their folder went
// meanwhile (the whole system is flushed then).
TEST_F(OutputPlannerFiles, FlushingOutputsWhoseFolderWentIsNoFailure) {
    const fs::path source = file("x.png", "source");
    for (const char* folder : {"kept", "gone"}) {
        OutputPlanner::write(file(std::string("work-") + folder + ".webp", "produced"), dir_ / folder / "x.webp", source,
                             SaveLocation::folder(dir_ / folder, ""));
    }
    fs::remove_all(dir_ / "gone");
    EXPECT_EQ(OutputPlanner::flushOutputs(), std::vector<std::string>{});
}

TEST_F(OutputPlannerFiles, CreatesAMissingFolderWithItsParents) {
    const fs::path source = file("x.png", "source");
    const fs::path produced = file("work/out.png", "produced");
    const SaveLocation location = SaveLocation::folder(dir_ / "new" / "deeper", "");
    const WriteOutcome outcome = OutputPlanner::write(
        produced, OutputPlanner::destination(source, OutputFormat::png, location, ""), source, location);
    EXPECT_EQ(outcome.url, dir_ / "new" / "deeper" / "x.png");
    EXPECT_EQ(contents(outcome.url), "produced");
}

TEST_F(OutputPlannerFiles, RefusesToOverwriteTheSourceOutsideOverwriteMode) {
    const fs::path source = file("a/x.png", "source");
    const fs::path produced = file("work/out.png", "produced");
    fs::create_directories(dir_ / "linked");
    fs::create_hard_link(source, dir_ / "linked" / "x.png");
    struct Case {
        std::string name;
        SaveLocation location;
        std::string prefix;
    };
    const std::vector<Case> cases{
        {"beside, empty prefix and suffix", SaveLocation::sourceFolder(""), ""},
        {"the source's own folder", SaveLocation::folder(dir_ / "a", ""), ""},
        {"the same folder spelled otherwise", SaveLocation::folder(dir_ / "b" / ".." / "a", ""), ""},
        {"a hard link of the source", SaveLocation::folder(dir_ / "linked", ""), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = OutputPlanner::destination(source, OutputFormat::png, c.location, c.prefix);
        try {
            OutputPlanner::write(produced, target, source, c.location, failingTrash);
            ADD_FAILURE() << "written";
        } catch (const OutputPlanner::WriteError& error) {
            EXPECT_STREQ(error.what(), "输出会覆盖原图 x.png，请设置前缀、后缀或换目录");
            EXPECT_EQ(error.destination, target);
        }
        EXPECT_EQ(contents(source), "source");
    }
    EXPECT_EQ(namesIn(dir_ / "a"), std::vector<std::string>{"x.png"});
    EXPECT_FALSE(fs::exists(dir_ / "b"));
    EXPECT_FALSE(OutputPlanner::isOptimized(source));
}

TEST_F(OutputPlannerFiles, OverwriteWithTheSameNameTrashesTheSourceFirst) {
    const fs::path source = file("x.jpeg", "source");
    const fs::path produced = file("work/out.jpg", "produced");
    const SaveLocation location = SaveLocation::overwrite();
    const fs::path target = OutputPlanner::destination(source, OutputFormat::jpeg, location, "");
    ASSERT_EQ(target, source);

    const WriteOutcome outcome = OutputPlanner::write(produced, target, source, location);

    EXPECT_EQ(outcome, (WriteOutcome{source, {}}));
    EXPECT_EQ(contents(source), "produced");
    EXPECT_EQ(attribute(source, "user.local.dorvex.optimized"), "overwrite");
    EXPECT_EQ(attribute(source, "user.local.tavelin.optimized"), "overwrite");
    EXPECT_EQ(trashContents(), std::vector<std::string>{"source"});
    EXPECT_TRUE(fs::exists(TestHome::trashFiles() / "x.jpeg"));
}

TEST_F(OutputPlannerFiles, OverwriteWithAnotherExtensionTrashesWhatStoodThereThenTheSource) {
    const fs::path source = file("x.png", "source");
    const fs::path foreign = file("x.webp", "the user's own");
    const fs::path produced = file("work/out.webp", "produced");
    const SaveLocation location = SaveLocation::overwrite();
    std::vector<std::string> trashed;  // in the order the trash was asked
    const OutputPlanner::TrashOperation recordingTrash = [&](const fs::path& item) {
        trashed.push_back(item.filename().string() + ": " + contents(item));
        return Trash::place(item);
    };

    const WriteOutcome outcome = OutputPlanner::write(
        produced, OutputPlanner::destination(source, OutputFormat::webp, location, ""), source, location,
        recordingTrash);

    EXPECT_EQ(outcome, (WriteOutcome{foreign, {"已将原有的同名文件 x.webp 移入回收站"}}));
    EXPECT_EQ(trashed, (std::vector<std::string>{"x.webp: the user's own", "x.png: source"}));
    EXPECT_EQ(contents(foreign), "produced");
    EXPECT_EQ(attribute(foreign, "user.local.dorvex.optimized"), "overwrite");
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(trashContents(), (std::vector<std::string>{"source", "the user's own"}));
}

TEST_F(OutputPlannerFiles, OverwriteKeepsTheSourceWhenTheTrashFails) {
    {
        SCOPED_TRACE("same name: the output goes beside the kept source under the -min name");
        const fs::path source = file("same/x.jpeg", "source");
        const fs::path existingFallback = file("same/x-min.jpeg", "an earlier fallback");
        OutputPlanner::markOptimized(existingFallback, OutputPlanner::overwriteMarker, source);
        const fs::path produced = file("work/out.jpg", "produced");
        std::vector<fs::path> asked;
        const OutputPlanner::TrashOperation trashOnlyOthers = [&](const fs::path& item) {
            asked.push_back(item);
            if (item == source) throw Trash::Error("Unable to find or create trash directory");
            return Trash::place(item);
        };

        const WriteOutcome outcome =
            OutputPlanner::write(produced, source, source, SaveLocation::overwrite(), trashOnlyOthers);

        EXPECT_EQ(outcome.url, dir_ / "same" / "x-min.jpeg");
        EXPECT_EQ(outcome.warnings,
                  (std::vector<std::string>{"原图移入回收站失败，结果另存为新文件：Unable to find or create trash directory",
                                            "已将原有的同名文件 x-min.jpeg 移入回收站"}));
        EXPECT_EQ(asked, (std::vector<fs::path>{source, existingFallback}));
        EXPECT_EQ(contents(source), "source");
        EXPECT_EQ(contents(outcome.url), "produced");
        EXPECT_EQ(attribute(outcome.url, "user.local.dorvex.optimized"), "overwrite");
        EXPECT_EQ(namesIn(dir_ / "same"), (std::vector<std::string>{"x-min.jpeg", "x.jpeg"}));
    }
    {
        SCOPED_TRACE("another name: the output stays and so does the source");
        const fs::path source = file("other/x.png", "source");
        const fs::path produced = file("work/out.webp", "produced");
        const WriteOutcome outcome = OutputPlanner::write(produced, dir_ / "other" / "x.webp", source,
                                                          SaveLocation::overwrite(), failingTrash);
        EXPECT_EQ(outcome, (WriteOutcome{dir_ / "other" / "x.webp", {"原图移入回收站失败，已保留：no trash here"}}));
        EXPECT_EQ(contents(source), "source");
        EXPECT_EQ(contents(outcome.url), "produced");
    }
}

TEST_F(OutputPlannerFiles, WhatStandsAtTheDestination) {
    enum class Standing { earlierOutput, earlierOutputWithoutRecord, legacyOutput, otherSourcesOutput,
                          overwriteOutput, foreignFile };
    struct Case {
        std::string name;
        Standing standing;
        bool trashed;
    };
    const std::vector<Case> cases{
        {"an earlier output of the same source is replaced silently", Standing::earlierOutput, false},
        {"so is one without a source record", Standing::earlierOutputWithoutRecord, false},
        {"and one of the earlier product", Standing::legacyOutput, false},
        {"another source's output goes to the trash", Standing::otherSourcesOutput, true},
        {"an output that took its source's place goes to the trash", Standing::overwriteOutput, true},
        {"the user's own file goes to the trash", Standing::foreignFile, true},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(TestHome::trashFiles().parent_path(), ignored);
        const fs::path folder = dir_ / std::to_string(index++);
        const fs::path source = folder / "a" / "x.png";
        put(source, "source");
        const fs::path produced = folder / "work" / "out.png";
        put(produced, "produced");
        const SaveLocation location = SaveLocation::folder(folder / "out", "");
        const fs::path target = OutputPlanner::destination(source, OutputFormat::png, location, "");
        put(target, "standing");
        switch (c.standing) {
            case Standing::earlierOutput: OutputPlanner::markOptimized(target, "1", source); break;
            case Standing::earlierOutputWithoutRecord: OutputPlanner::markOptimized(target, "1"); break;
            case Standing::legacyOutput: setAttribute(target, OutputPlanner::legacyOptimizedAttribute, "1"); break;
            case Standing::otherSourcesOutput: OutputPlanner::markOptimized(target, "1", folder / "b" / "x.png"); break;
            case Standing::overwriteOutput: OutputPlanner::markOptimized(target, "overwrite", target); break;
            case Standing::foreignFile: break;
        }

        const WriteOutcome outcome = OutputPlanner::write(produced, target, source, location);

        EXPECT_EQ(outcome.url, target);
        EXPECT_EQ(contents(target), "produced");
        EXPECT_EQ(attribute(target, "user.local.dorvex.source"), source.string());
        if (c.trashed) {
            EXPECT_EQ(outcome.warnings, std::vector<std::string>{"已将原有的同名文件 x.png 移入回收站"});
            EXPECT_EQ(trashContents(), std::vector<std::string>{"standing"});
        } else {
            EXPECT_TRUE(outcome.warnings.empty());
            EXPECT_TRUE(trashContents().empty());
        }
        EXPECT_EQ(namesIn(folder / "out"), std::vector<std::string>{"x.png"});
    }
}

TEST_F(OutputPlannerFiles, TwoSourcesWithOneNameDoNotSilentlyReplaceEachOther) {
    const fs::path first = file("a/x.png", "first source");
    const fs::path second = file("b/x.png", "second source");
    const fs::path firstProduced = file("work/1.png", "first output");
    const fs::path secondProduced = file("work/2.png", "second output");
    const SaveLocation location = SaveLocation::folder(dir_ / "out", "-min");
    const fs::path target = OutputPlanner::destination(first, OutputFormat::png, location, "");
    ASSERT_EQ(target, OutputPlanner::destination(second, OutputFormat::png, location, ""));

    EXPECT_TRUE(OutputPlanner::write(firstProduced, target, first, location).warnings.empty());
    const WriteOutcome again = OutputPlanner::write(secondProduced, target, second, location);
    EXPECT_EQ(again.warnings, std::vector<std::string>{"已将原有的同名文件 x-min.png 移入回收站"});
    EXPECT_EQ(contents(target), "second output");
    EXPECT_EQ(trashContents(), std::vector<std::string>{"first output"});

    // The same source again replaces its own output silently.
    EXPECT_TRUE(OutputPlanner::write(firstProduced, target, second, location).warnings.empty());
    EXPECT_EQ(contents(target), "first output");
    EXPECT_EQ(trashContents(), std::vector<std::string>{"first output"});
}

TEST_F(OutputPlannerFiles, AFileThatCannotBeTrashedStopsTheWrite) {
    const fs::path source = file("x.png", "source");
    const fs::path produced = file("work/out.webp", "produced");
    const fs::path foreign = file("x-min.webp", "the user's own");
    try {
        OutputPlanner::write(produced, foreign, source, SaveLocation::sourceFolder("-min"), failingTrash);
        ADD_FAILURE() << "written";
    } catch (const Trash::Error& error) {
        EXPECT_STREQ(error.what(), "no trash here");
    }
    EXPECT_EQ(contents(foreign), "the user's own");
    EXPECT_FALSE(OutputPlanner::isOptimized(foreign));
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"work", "x-min.webp", "x.png"}));
}

TEST_F(OutputPlannerFiles, FileSystemFailuresLeaveTheSourceAlone) {
    const fs::path source = file("x.png", "source");
    const fs::path produced = file("work/out.webp", "produced");
    {
        SCOPED_TRACE("the destination folder lies inside a regular file");
        const fs::path blocker = file("blocker", "not a folder");
        const SaveLocation location = SaveLocation::folder(blocker / "out", "");
        try {
            OutputPlanner::write(produced, OutputPlanner::destination(source, OutputFormat::webp, location, ""),
                                 source, location);
            ADD_FAILURE() << "written";
        } catch (const OutputPlanner::FileError& error) {
            EXPECT_EQ(error.kind, OutputPlanner::FileError::Kind::createFolder);
            EXPECT_EQ(std::string(error.what()), "cannot create folder " + (blocker / "out").string() + ": Not a directory");
        }
    }
    {
        SCOPED_TRACE("the produced file is gone");
        try {
            OutputPlanner::write(dir_ / "work" / "missing.webp", dir_ / "x.webp", source, SaveLocation::overwrite());
            ADD_FAILURE() << "written";
        } catch (const OutputPlanner::FileError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "cannot read " + (dir_ / "work" / "missing.webp").string() + ": No such file or directory");
        }
    }
    EXPECT_EQ(contents(source), "source");
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"blocker", "work", "x.png"}));
    EXPECT_TRUE(trashContents().empty());
}

TEST_F(OutputPlannerFiles, ACopyThatFailsHalfWayLeavesNoTemporaryFile) {
    const fs::path source = file("x.png", "source");
    fs::create_directories(dir_ / "work" / "a-folder.webp");  // opens, then refuses to be read
    EXPECT_THROW(OutputPlanner::write(dir_ / "work" / "a-folder.webp", dir_ / "x-min.webp", source,
                                      SaveLocation::sourceFolder("-min")),
                 OutputPlanner::FileError);
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"work", "x.png"}));
}

TEST_F(OutputPlannerFiles, TheOutputTakesTheSourcesPermissions) {
    const fs::path produced = file("work/out.webp", "produced");
    fs::permissions(produced, fs::perms(0644));
    for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0664)}) {
        const fs::path source = file("x.png", "source");
        fs::permissions(source, mode);
        const WriteOutcome outcome =
            OutputPlanner::write(produced, dir_ / "x-min.webp", source, SaveLocation::sourceFolder("-min"));
        EXPECT_EQ(fs::status(outcome.url).permissions(), mode);
    }
}

// On one filesystem the output is a second name of the produced file, which is made private on
// the way; a file that is the user's (the source itself, or one with other names) is copied and
// keeps its mode.
TEST_F(OutputPlannerFiles, OnlyOurOwnProducedFileIsLinked) {
    const auto inode = [](const fs::path& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    const fs::path source = file("x.png", "source");
    fs::permissions(source, fs::perms(0644));
    const fs::path shared = file("elsewhere/shared.webp", "shared");
    fs::permissions(shared, fs::perms(0664));
    fs::create_hard_link(shared, dir_ / "work-shared.webp");
    const fs::path ours = file("work/out.webp", "ours");

    struct Case {
        fs::path produced;
        fs::path keepsMode;  // the user's file whose mode must not change; empty for ours
        fs::perms mode;
        bool linked;
    };
    const std::vector<Case> cases{
        {ours, {}, fs::perms(0644), true},
        {source, source, fs::perms(0644), false},
        {dir_ / "work-shared.webp", shared, fs::perms(0664), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.produced.string());
        const std::string bytes = contents(c.produced);
        const WriteOutcome outcome =
            OutputPlanner::write(c.produced, dir_ / "out" / "x-min.webp", source, SaveLocation::folder(dir_ / "out", "-min"));
        EXPECT_EQ(contents(outcome.url), bytes);
        EXPECT_EQ(inode(outcome.url) == inode(c.produced), c.linked);
        if (!c.keepsMode.empty()) {
            EXPECT_EQ(fs::status(c.keepsMode).permissions(), c.mode);
        }
        EXPECT_EQ(fs::status(outcome.url).permissions(), fs::perms(0644));  // the source's
        EXPECT_EQ(namesIn(dir_ / "out"), (std::vector<std::string>{"x-min.webp"}));
    }

    // Without a readable source the output takes the produced file's mode, linked or not.
    const fs::path lone = file("work/lone.webp", "lone");
    fs::permissions(lone, fs::perms(0640));
    const WriteOutcome outcome = OutputPlanner::write(lone, dir_ / "out" / "gone-min.webp", dir_ / "gone.png",
                                                      SaveLocation::folder(dir_ / "out", "-min"));
    EXPECT_EQ(inode(outcome.url), inode(lone));
    EXPECT_EQ(fs::status(outcome.url).permissions(), fs::perms(0640));
}

// In the overwrite mode the source goes to the trash only while it is still the file that was read.
TEST_F(OutputPlannerFiles, OverwriteLeavesASourceThatChangedMeanwhileAlone) {
    const SaveLocation location = SaveLocation::overwrite();
    const fs::path produced = file("work/out.jpg", "produced");
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
    };
    const std::vector<Case> cases{
        {"rewritten", [](const fs::path& source) { put(source, "edited by someone else"); }},
        {"replaced by another file",
         [this](const fs::path& source) { fs::rename(file("other.jpeg", "source"), source); }},
        {"removed", [](const fs::path& source) { fs::remove(source); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path source = file("x.jpeg", "source");
        const auto asRead = OutputPlanner::SourceIdentity::of(source);
        ASSERT_TRUE(asRead);
        c.change(source);
        const std::vector<std::string> before = namesIn(dir_);
        try {
            OutputPlanner::write(produced, source, source, location, Trash::place, asRead);
            ADD_FAILURE() << "written";
        } catch (const OutputPlanner::WriteError& error) {
            EXPECT_EQ(error.kind, OutputPlanner::WriteError::Kind::sourceChanged);
            EXPECT_EQ(std::string(error.what()), "原图在压缩期间被修改或替换，未作改动：x.jpeg");
        }
        EXPECT_EQ(namesIn(dir_), before);  // no output, no temporary file
        EXPECT_TRUE(trashContents().empty());
    }
    const fs::path source = file("x.jpeg", "source");
    const WriteOutcome outcome = OutputPlanner::write(produced, source, source, location, Trash::place,
                                                      OutputPlanner::SourceIdentity::of(source));
    EXPECT_EQ(contents(outcome.url), "produced");
    EXPECT_EQ(trashContents(), std::vector<std::string>{"source"});
}

class OutputPlannerPermissions : public OutputPlannerFiles {};

TEST_F(OutputPlannerPermissions, AReadOnlyFolderFailsWithTheSystemsText) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const fs::path source = file("in/x.png", "source");
    const fs::path produced = file("work/out.webp", "produced");
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms(0555));
    const SaveLocation location = SaveLocation::folder(dir_ / "locked", "");
    try {
        OutputPlanner::write(produced, dir_ / "locked" / "x.webp", source, location);
        ADD_FAILURE() << "written";
    } catch (const OutputPlanner::FileError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot write " + (dir_ / "locked" / "x.webp").string() + ": Permission denied");
    }
    EXPECT_EQ(contents(source), "source");
    EXPECT_TRUE(fs::is_empty(dir_ / "locked"));
}

// Attributes need write access to the file: the output is marked before it takes the mode.
TEST_F(OutputPlannerPermissions, AReadOnlySourcesOutputIsMarked) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    for (const SaveLocation& location : {SaveLocation::sourceFolder("-min"), SaveLocation::overwrite()}) {
        SCOPED_TRACE(location.isOverwrite() ? "overwrite" : "beside");
        const fs::path source = file(std::string(location.isOverwrite() ? "o" : "b") + "/x.jpeg", "source");
        fs::permissions(source, fs::perms(0444));
        const WriteOutcome outcome = OutputPlanner::write(
            file("work/out.jpg", "produced"), OutputPlanner::destination(source, OutputFormat::jpeg, location, ""),
            source, location);
        EXPECT_EQ(fs::status(outcome.url).permissions(), fs::perms(0444));
        EXPECT_EQ(attribute(outcome.url, OutputPlanner::optimizedAttribute),
                  location.isOverwrite() ? "overwrite" : "1");
    }
}

// A file that appears at a new output's name after it was looked at is not replaced silently.
TEST_F(OutputPlannerFiles, AFileThatAppearsJustBeforeThePlacementIsHandledLikeAStandingOne) {
    struct Case {
        const char* name;
        bool earlierOutput;
        std::vector<std::string> warnings, trashed;
    };
    const std::vector<Case> cases{
        {"the user's file goes to the trash", false, {"已将原有的同名文件 x-min.webp 移入回收站"}, {"appeared"}},
        {"an earlier output of the source is replaced", true, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(TestHome::trashFiles().parent_path());
        const fs::path source = file(std::string(c.name) + "/x.png", "source");
        const fs::path target = source.parent_path() / "x-min.webp";
        bool appeared = false;
        const StepHook hook([&](OutputPlanner::Testing::Step step) {
            if (step != OutputPlanner::Testing::Step::placing || std::exchange(appeared, true)) return;
            put(target, "appeared");
            if (c.earlierOutput) OutputPlanner::markOptimized(target, "1", source);
        });
        const WriteOutcome outcome =
            OutputPlanner::write(file("work/out.webp", "produced"), target, source, SaveLocation::sourceFolder("-min"));
        EXPECT_EQ(outcome.warnings, c.warnings);
        EXPECT_EQ(contents(target), "produced");
        EXPECT_EQ(trashContents(), c.trashed);
    }
}

// A write killed after any of its steps (no destructors run) leaves every name it touches holding
// what it held or the whole output, and whatever left a name is in the trash under that name. One
// that fails just before its rename leaves everything, the trash too, as it was.
TEST_F(OutputPlannerFiles, AKillAfterAnyStepLosesNothing) {
    struct Case {
        const char* name;
        SaveLocation location;
        std::string sourceName, destinationName;
    };
    const std::vector<Case> cases{
        {"overwrite, same name", SaveLocation::overwrite(), "x.jpeg", "x.jpeg"},
        {"overwrite, another name with a file there", SaveLocation::overwrite(), "x.png", "x.jpg"},
        {"beside, with a file there", SaveLocation::sourceFolder("-min"), "x.png", "x-min.jpg"},
    };
    for (const Case& c : cases) {
        {
            SCOPED_TRACE(::testing::Message() << c.name << ", failing before the rename");
            fs::remove_all(TestHome::trashFiles().parent_path());
            const fs::path folder = makeTemporaryFolder(dir_, "fail-");
            for (const std::string& name : {c.destinationName, c.sourceName}) put(folder / name, name);
            const StepHook hook([](OutputPlanner::Testing::Step step) {
                if (step == OutputPlanner::Testing::Step::placing) throw std::runtime_error("failed");
            });
            EXPECT_THROW(OutputPlanner::write(file("work/out.jpg", "produced"), folder / c.destinationName,
                                              folder / c.sourceName, c.location),
                         std::runtime_error);
            for (const std::string& name : {c.destinationName, c.sourceName}) EXPECT_EQ(contents(folder / name), name);
            EXPECT_TRUE(trashContents().empty());
            EXPECT_TRUE(fs::is_empty(TestHome::trashFiles().parent_path() / "info"));
        }
        for (int killedAt = 1;; ++killedAt) {
            SCOPED_TRACE(::testing::Message() << c.name << ", killed after step " << killedAt);
            fs::remove_all(TestHome::trashFiles().parent_path());
            const fs::path folder = makeTemporaryFolder(dir_, "kill-");
            std::map<fs::path, std::string> originals{{folder / c.sourceName, "source"}};
            originals.try_emplace(folder / c.destinationName, "standing");
            for (const auto& [name, bytes] : originals) put(name, bytes);
            const fs::path produced = file("work/out.jpg", "produced");

            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                int steps = 0;
                OutputPlanner::Testing::afterStep = [&](OutputPlanner::Testing::Step) {
                    if (++steps == killedAt) ::_exit(3);
                };
                try {
                    OutputPlanner::write(produced, folder / c.destinationName, folder / c.sourceName, c.location);
                } catch (...) {
                    ::_exit(4);
                }
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 4);

            for (const auto& [name, bytes] : originals) {
                const std::string now = contents(name);
                if (fs::exists(name) && now == bytes) continue;
                EXPECT_TRUE(now == "produced" || name != folder / c.destinationName) << name;
                EXPECT_EQ(contents(TestHome::trashFiles() / name.filename()), bytes) << name;
                EXPECT_EQ(trashedPath(name.filename()), name.string());
            }
            if (WEXITSTATUS(status) == 0) {
                EXPECT_EQ(contents(folder / c.destinationName), "produced");
                break;
            }
        }
    }
}

// ---- concurrent writes ---------------------------------------------------------------------

// Two jobs aim at one destination at the same moment, many times over. Whatever the interleaving,
// the destination holds one of the two outputs whole, and the reports agree with what happened:
// outputs of different sources — the one that lost is in the trash, and only the job that came
// second reports having trashed it; outputs of one source — the later replaces the earlier
// silently.
TEST_F(OutputPlannerFiles, ConcurrentWritesToOneDestinationStayWhole) {
    const std::string firstData(1 << 20, 'a');
    const std::string secondData(3 << 18, 'b');
    const fs::path firstProduced = file("work/1.png", firstData);
    const fs::path secondProduced = file("work/2.png", secondData);
    const fs::path firstSource = file("a/x.png", "first");
    const fs::path secondSource = file("b/x.png", "second");

    std::mutex trashMutex;
    std::vector<std::string> trashed;
    const OutputPlanner::TrashOperation trash = [&](const fs::path& item) {
        std::lock_guard lock(trashMutex);
        trashed.push_back(contents(item));
        return Trash::place(item);
    };

    for (bool sameSource : {false, true}) {
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(::testing::Message() << (sameSource ? "one source" : "two sources") << ", round " << round);
            const fs::path out = dir_ / ("out-" + std::to_string(sameSource) + "-" + std::to_string(round));
            const SaveLocation location = SaveLocation::folder(out, "");
            const fs::path target = OutputPlanner::destination(firstSource, OutputFormat::png, location, "");
            trashed.clear();
            std::atomic<int> ready{0};
            WriteOutcome outcomes[2];
            auto job = [&](int which) {
                ready.fetch_add(1);
                while (ready.load() < 2) std::this_thread::yield();
                outcomes[which] = OutputPlanner::write(which == 0 ? firstProduced : secondProduced, target,
                                                       which == 0 || sameSource ? firstSource : secondSource,
                                                       location, trash);
            };
            std::thread firstJob(job, 0), secondJob(job, 1);
            firstJob.join();
            secondJob.join();

            const std::string final = contents(target);
            ASSERT_TRUE(final == firstData || final == secondData);
            const int winner = final == firstData ? 0 : 1;
            EXPECT_EQ(outcomes[0].url, target);
            EXPECT_EQ(outcomes[1].url, target);
            if (sameSource) {
                EXPECT_TRUE(outcomes[0].warnings.empty());
                EXPECT_TRUE(outcomes[1].warnings.empty());
                EXPECT_TRUE(trashed.empty());
            } else {
                EXPECT_EQ(outcomes[winner].warnings, std::vector<std::string>{"已将原有的同名文件 x.png 移入回收站"});
                EXPECT_TRUE(outcomes[1 - winner].warnings.empty());
                EXPECT_EQ(trashed, std::vector<std::string>{winner == 0 ? secondData : firstData});
            }
            EXPECT_EQ(namesIn(out), std::vector<std::string>{"x.png"});  // no temporary file left
        }
    }
}

// ---- the desktop trash ---------------------------------------------------------------------

TEST_F(OutputPlannerFiles, TrashMovesToTheHomeTrashOrSaysWhyNot) {
    const fs::path item = file("照片 1.jpg", "old");
    Trash::moveToTrash(item);
    put(item, "newer");
    Trash::moveToTrash(item);
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(contents(TestHome::trashFiles() / "照片 1.jpg"), "old");
    EXPECT_EQ(contents(TestHome::trashFiles() / "照片 1.2.jpg"), "newer");
    for (const char* name : {"照片 1.jpg", "照片 1.2.jpg"}) {
        EXPECT_EQ(trashedPath(name), dir_.string() + "/%E7%85%A7%E7%89%87%201.jpg");
    }

    try {
        Trash::moveToTrash(dir_ / "missing.png");
        ADD_FAILURE() << "trashed a missing file";
    } catch (const Trash::Error& error) {
        EXPECT_EQ(std::string(error.what()), "cannot trash " + (dir_ / "missing.png").string() + ": No such file or directory");
    }
}

// An entry stands beside its file until kept; dropped, it leaves the trash as it was, and it never
// removes a file that took the item's name meanwhile.
TEST_F(OutputPlannerFiles, TrashEntriesGoUnlessKept) {
    const fs::path item = file("x.png", "item");
    {
        const Trash::Entry dropped = Trash::place(item);
        EXPECT_EQ(contents(TestHome::trashFiles() / dropped.name()), "item");
        EXPECT_EQ(contents(item), "item");
    }
    {
        Trash::Entry replaced = Trash::place(item);
        fs::rename(file("other.png", "other"), item);
        EXPECT_THROW(replaced.complete(), Trash::Error);
    }
    EXPECT_EQ(contents(item), "other");
    EXPECT_TRUE(trashContents().empty());
    EXPECT_TRUE(fs::is_empty(TestHome::trashFiles().parent_path() / "info"));
}

}  // namespace
}  // namespace dorvex
