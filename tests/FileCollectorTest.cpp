// The file collector on real folders: order, sorting, duplicates, what is counted as ignored and
// what is skipped silently, links, and folders that cannot be read.

#include "dorvex/output/FileCollector.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/output/OutputPlanner.h"
#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using testing::makeTemporaryFolder;
using testing::put;

class FileCollectorTest : public ::testing::Test {
protected:
    void SetUp() override { root_ = makeTemporaryFolder(testing::executableFolder(), "FileCollectorTest-"); }
    void TearDown() override {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(root_, ignored);
    }

    fs::path file(const std::string& relative, const std::string& data = "x") {
        put(root_ / relative, data);
        return root_ / relative;
    }

    // The collected files relative to root_, for readable expectations.
    std::vector<std::string> relative(const FileCollector::Result& result) {
        std::vector<std::string> names;
        for (const auto& path : result.files) names.push_back(path.lexically_relative(root_).string());
        return names;
    }

    fs::path root_;
};

using Names = std::vector<std::string>;

TEST_F(FileCollectorTest, FolderGivesItsSupportedFilesInPathOrderAndCountsTheRest) {
    file("drop/b.png");
    file("drop/a.jpg");
    file("drop/.hidden.png");
    file("drop/notes.txt");
    file("drop/sub/c.webp");
    file("drop/.cache/d.png");       // hidden folders are not entered...
    file("drop/.cache/readme.txt");  // ...so nothing in them is counted either
    fs::create_directories(root_ / "drop" / "empty");

    const auto result = FileCollector::collect({root_ / "drop"});
    EXPECT_EQ(relative(result), (Names{"drop/a.jpg", "drop/b.png", "drop/sub/c.webp"}));
    EXPECT_EQ(result.ignored, 1);
}

TEST_F(FileCollectorTest, DroppedOrderIsKeptAndFolderFilesAppearAtTheFolderPlace) {
    const fs::path z = file("z.png");
    file("folder/b.png");
    file("folder/a.png");
    const fs::path y = file("y.pdf");

    const auto result = FileCollector::collect({z, root_ / "folder", y});
    EXPECT_EQ(relative(result), (Names{"z.png", "folder/a.png", "folder/b.png", "y.pdf"}));
    EXPECT_EQ(result.ignored, 0);
}

TEST_F(FileCollectorTest, EachFileIsListedOnceAtItsFirstPlace) {
    const fs::path a = file("folder/a.png");
    file("folder/b.png");
    const fs::path folder = root_ / "folder";

    struct Case {
        const char* what;
        std::vector<fs::path> dropped;
        Names expected;
    };
    const std::vector<Case> cases{
        {"same file twice", {a, a}, {"folder/a.png"}},
        {"file, then its folder", {a, folder}, {"folder/a.png", "folder/b.png"}},
        {"folder, then a file in it", {folder, a}, {"folder/a.png", "folder/b.png"}},
        {"folder twice", {folder, folder}, {"folder/a.png", "folder/b.png"}},
        {"other spellings of the same path",
         {a, folder / "." / "a.png", folder / "sub" / ".." / "a.png", root_ / "folder/"},
         {"folder/a.png", "folder/b.png"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directories(folder / "sub");
        const auto result = FileCollector::collect(c.dropped);
        EXPECT_EQ(relative(result), c.expected);
        EXPECT_EQ(result.ignored, 0);
        fs::remove(folder / "sub");
    }
}

TEST_F(FileCollectorTest, DroppedThingsThatCannotBeCompressedAreCounted) {
    const fs::path text = file("notes.txt");
    const fs::path noExtension = file("README");
    fs::path fifo = root_ / "stream.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path deleted = file("gone.png");
    fs::remove(deleted);
    const fs::path kept = file("kept.png");

    const auto result = FileCollector::collect({text, noExtension, fifo, deleted, kept, root_ / "missing-folder"});
    EXPECT_EQ(relative(result), (Names{"kept.png"}));
    EXPECT_EQ(result.ignored, 5);
}

TEST_F(FileCollectorTest, TheNameDecidesNotTheContents) {
    const fs::path png = file("photo.jpg", "\x89PNG\r\n\x1a\n");
    const fs::path upper = file("IMG_0001.JPEG");
    const fs::path jpegNamedText = file("letter.txt", "\xff\xd8\xff\xe0");

    const auto result = FileCollector::collect({png, upper, jpegNamedText});
    EXPECT_EQ(relative(result), (Names{"photo.jpg", "IMG_0001.JPEG"}));
    EXPECT_EQ(result.ignored, 1);
}

TEST_F(FileCollectorTest, FolderFilesSortByCodePointsWithoutNumericOrLocaleRules) {
    for (const char* name : {"img2.png", "img10.png", "a.png", "B.png", "a b.png", "a/x.png", "a0.png"}) {
        file(std::string("sorted/") + name);
    }
    const auto result = FileCollector::collect({root_ / "sorted"});
    // Upper case before lower case, " " before "/" before "0", "1" before "2".
    EXPECT_EQ(relative(result), (Names{"sorted/B.png", "sorted/a b.png", "sorted/a.png", "sorted/a/x.png",
                                       "sorted/a0.png", "sorted/img10.png", "sorted/img2.png"}));
}

TEST_F(FileCollectorTest, NamesSortByTheirComposedForm) {
    const std::string decomposed = "e\xCC\x81" "a.png";  // e + COMBINING ACUTE ACCENT, then "a"
    const std::string composed = "\xC3\xA9" "b.png";     // U+00E9, then "b"
    const std::string invalid = "\xFF" "z.png";          // not UTF-8: compared by its bytes
    file("accents/" + decomposed);
    file("accents/" + composed);
    file("accents/f.png");
    file("accents/" + invalid);

    const auto result = FileCollector::collect({root_ / "accents"});
    // By raw bytes the decomposed name would come before "f.png"; composed, it is U+00E9 + "a",
    // which sorts after "f" and before U+00E9 + "b". The names themselves are kept as on disk.
    EXPECT_EQ(relative(result),
              (Names{"accents/f.png", "accents/" + decomposed, "accents/" + composed, "accents/" + invalid}));
}

TEST_F(FileCollectorTest, LinksInsideFoldersAreNotFollowedSoLoopsEnd) {
    file("walk/a.png");
    file("elsewhere/outside.png");
    fs::create_directory_symlink("..", root_ / "walk" / "up");            // a loop back to the parent
    fs::create_directory_symlink(root_ / "walk", root_ / "walk" / "self");  // and to itself
    fs::create_symlink(root_ / "walk" / "a.png", root_ / "walk" / "alias.png");
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "walk" / "linked");
    fs::create_symlink(root_ / "nowhere.png", root_ / "walk" / "dangling.png");

    const auto result = FileCollector::collect({root_ / "walk"});
    EXPECT_EQ(relative(result), (Names{"walk/a.png"}));
    EXPECT_EQ(result.ignored, 0);
}

TEST_F(FileCollectorTest, DroppedLinksCountAsWhatTheyPointTo) {
    file("real/a.png");
    fs::create_directory_symlink(root_ / "real", root_ / "folder-link");
    fs::create_symlink(root_ / "real" / "a.png", root_ / "file-link.png");

    const auto result = FileCollector::collect({root_ / "folder-link", root_ / "file-link.png"});
    // The paths stay as dropped: the link's own path, not its target's.
    EXPECT_EQ(relative(result), (Names{"folder-link/a.png", "file-link.png"}));
}

TEST_F(FileCollectorTest, DotDotAfterALinkIsNotResolvedOnPaper) {
    // "link/../a.png" reaches real-parent/a.png through the link; removing ".." on paper would
    // name root_/a.png, another file.
    file("deep/real/inner.txt");
    const fs::path target = file("deep/a.png");
    file("a.png");
    fs::create_directory_symlink(root_ / "deep" / "real", root_ / "link");

    const auto result = FileCollector::collect({root_ / "link" / ".." / "a.png"});
    ASSERT_EQ(result.files.size(), 1u);
    EXPECT_TRUE(fs::equivalent(result.files.front(), target));
}

TEST_F(FileCollectorTest, RelativePathsComeBackAbsolute) {
    file("rel/a.png");
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    const auto result = FileCollector::collect({"rel/a.png", "./rel"});
    fs::current_path(before);
    EXPECT_EQ(result.files, (std::vector<fs::path>{root_ / "rel" / "a.png"}));
}

TEST_F(FileCollectorTest, EarlierOutputsAreSkippedInsideFoldersButTakenWhenDropped) {
    const fs::path output = file("out/a-min.png");
    file("out/a.png");
    OutputPlanner::markOptimized(output, OutputPlanner::normalMarker);
    if (!OutputPlanner::isOptimized(output)) GTEST_SKIP() << "no extended attributes on this file system";

    const auto inFolder = FileCollector::collect({root_ / "out"});
    EXPECT_EQ(relative(inFolder), (Names{"out/a.png"}));
    EXPECT_EQ(inFolder.ignored, 0);

    const auto dropped = FileCollector::collect({output});
    EXPECT_EQ(relative(dropped), (Names{"out/a-min.png"}));
}

TEST_F(FileCollectorTest, UnreadableFoldersAreNamedForLackOfPermission) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    file("mixed/a.png");
    file("mixed/locked/b.png");
    file("mixed/z.png");
    fs::permissions(root_ / "mixed" / "locked", fs::perms::none);
    file("closed/c.png");
    fs::permissions(root_ / "closed", fs::perms::none);

    const auto result = FileCollector::collect({root_ / "mixed", root_ / "closed", root_ / "after.png"});
    EXPECT_EQ(relative(result), (Names{"mixed/a.png", "mixed/z.png"}));
    EXPECT_EQ(result.ignored, 1);  // after.png does not exist
    const std::string reason = "无法读取这个文件夹（没有读取权限）";
    EXPECT_EQ(result.unreadable, (std::vector<FileCollector::Unreadable>{{root_ / "mixed" / "locked", reason},
                                                                          {root_ / "closed", reason}}));
}

TEST(FileCollectorTypes, SupportedTypesFollowTheOutputFormats) {
    const auto types = FileCollector::supportedTypes();
    const auto formats = OutputFormat::allCases();
    ASSERT_EQ(types.size(), formats.size());
    for (std::size_t i = 0; i < formats.size(); ++i) EXPECT_EQ(types[i], formats[i].fileType());
}

TEST(FileCollectorTypes, IsSupportedLooksAtTheExtensionOnly) {
    for (const char* name : {"a.jpg", "a.jpeg", "a.png", "a.webp", "a.avif", "a.heic", "a.jxl", "a.tiff", "a.icns",
                             "a.mp4", "a.mov", "a.pdf", "A.JPG", "/no/such/folder/b.Tif", "c.heif"}) {
        EXPECT_TRUE(FileCollector::isSupported(name)) << name;
    }
    for (const char* name : {"a.txt", "a.gif", "a.bmp", "png", "a.png.txt", "a.", "", "folder/"}) {
        EXPECT_FALSE(FileCollector::isSupported(name)) << name;
    }
}

}  // namespace
}  // namespace dorvex
