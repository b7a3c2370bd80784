// The first look at a source: the image type its first bytes name, and why it cannot be opened.

#include "dorvex/model/SourceFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::optional<FileType> typeOf(const std::string& head) {
    return SourceFile::imageType(std::span(reinterpret_cast<const unsigned char*>(head.data()), head.size()));
}

// An ISO base-media file-type box with its major and compatible brands.
std::string fileTypeBox(const std::string& major, const std::string& compatible) {
    const std::string box = "ftyp" + major + "\0\0\0\0"s + compatible;
    return std::string{'\0', '\0', '\0', char(box.size() + 4)} + box;
}

TEST(SourceFile, ImageTypeByFirstBytes) {
    struct Case {
        const char* name;
        std::string head;
        std::optional<FileType> type;
    };
    const std::vector<Case> cases{
        {"JPEG", "\xFF\xD8\xFF\xE0\0\x10JFIF"s, FileType::jpeg},
        {"PNG", "\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s, FileType::png},
        {"WebP", "RIFF\x10\0\0\0WEBPVP8 "s, FileType::webp},
        {"RIFF of a WAV", "RIFF\x10\0\0\0WAVEfmt "s, std::nullopt},
        {"AVIF", fileTypeBox("avif", "mif1miafavif"), FileType::avif},
        {"general HEIF naming AV1 among its brands", fileTypeBox("mif1", "mif1miafavif"), FileType::avif},
        {"HEIC", fileTypeBox("heic", "mif1heic"), FileType::heic},
        {"general HEIF naming no coding", fileTypeBox("mif1", "mif1"), FileType::heic},
        {"MP4 naming AVIF only among its brands", fileTypeBox("isom", "avifmp41"), std::nullopt},
        {"JPEG XL codestream", "\xFF\x0A\xFA\x7F"s, FileType::jxl},
        {"JPEG XL container", "\0\0\0\x0CJXL \x0D\x0A\x87\x0A"s, FileType::jxl},
        {"TIFF, little-endian", "II*\0\x08\0\0\0"s, FileType::tiff},
        {"TIFF, big-endian", "MM\0*\0\0\0\x08"s, FileType::tiff},
        {"BigTIFF", "II+\0\x08\0\0\0"s, FileType::tiff},
        {"ICNS", "icns\0\0\x10\0"s, FileType::icns},
        {"GIF", "GIF89a", std::nullopt},
        {"text", "just some text", std::nullopt},
        {"PNG signature cut short", "\x89PNG\r\n"s, std::nullopt},
        {"JPEG start without a marker", "\xFF\xD8"s, std::nullopt},
        {"WebP cut before its form type", "RIFF\x10\0\0\0WE"s, std::nullopt},
        {"file-type box cut in its major brand", fileTypeBox("avif", "").substr(0, 10), std::nullopt},
        {"nothing", "", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(typeOf(c.head), c.type) << c.name;
}

class SourceFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override { root_ = testing::makeTemporaryFolder(testing::executableFolder(), "SourceFileTest-"); }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

// The name plays no part; what cannot be read has no type.
TEST_F(SourceFileOnDisk, ImageTypeOfAFile) {
    testing::put(root_ / "photo.png", "\xFF\xD8\xFF\xDB rest of a JPEG");
    testing::put(root_ / "empty.jpg", "");
    fs::create_directory(root_ / "folder.jpg");
    EXPECT_EQ(SourceFile::imageType(root_ / "photo.png"), FileType::jpeg);
    for (const char* name : {"empty.jpg", "folder.jpg", "missing.jpg"}) {
        EXPECT_EQ(SourceFile::imageType(root_ / name), std::nullopt) << name;
    }
}

TEST_F(SourceFileOnDisk, ReadProblemsNameTheirCause) {
    testing::put(root_ / "a.jpg", "x");
    EXPECT_EQ(SourceFile::readProblem(root_ / "a.jpg"), std::nullopt);
    EXPECT_EQ(SourceFile::readProblem(root_ / "missing.jpg"), "文件已不存在");
    EXPECT_EQ(SourceFile::readProblem(root_ / "a.jpg" / "b.jpg"), "文件已不存在");  // not a folder
}

TEST_F(SourceFileOnDisk, ReadProblemOfAFileWithoutPermission) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    testing::put(root_ / "locked.jpg", "\xFF\xD8\xFF");
    fs::permissions(root_ / "locked.jpg", fs::perms::none);
    EXPECT_EQ(SourceFile::readProblem(root_ / "locked.jpg"), "没有读取权限");
    EXPECT_EQ(SourceFile::imageType(root_ / "locked.jpg"), std::nullopt);
}

}  // namespace
}  // namespace dorvex
