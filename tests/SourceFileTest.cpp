// The image type a source's first bytes name.

#include "dorvex/model/SourceFile.h"

#include <gtest/gtest.h>

namespace dorvex {
namespace {

using namespace std::string_literals;

// An ISO base-media file-type box with its major and compatible brands.
std::string fileTypeBox(const std::string& major, const std::string& compatible) {
    const std::string box = "ftyp" + major + "\0\0\0\0"s + compatible;
    return std::string{'\0', '\0', '\0', char(box.size() + 4)} + box;
}

TEST(SourceFile, ImageTypeByFirstBytes) {
    const std::vector<std::pair<std::string, std::optional<FileType>>> cases{
        {"\xFF\xD8\xFF\xE0\0\x10JFIF"s, FileType::jpeg},
        {"\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s, FileType::png},
        {"RIFF\x10\0\0\0WEBPVP8 "s, FileType::webp},
        {"RIFF\x10\0\0\0WAVEfmt "s, std::nullopt},
        {fileTypeBox("mif1", "mif1miafavif"), FileType::avif},  // AV1 named among the brands
        {fileTypeBox("mif1", "mif1"), FileType::heic},          // no coding named
        {fileTypeBox("isom", "avifmp41"), std::nullopt},        // an MP4
        {"\0\0\0\x0CJXL \x0D\x0A\x87\x0A"s, FileType::jxl},
        {"MM\0*\0\0\0\x08"s, FileType::tiff},
        {"icns\0\0\x10\0"s, FileType::icns},
        {"\x89PNG\r\n"s, std::nullopt},  // cut short
        {fileTypeBox("avif", "").substr(0, 10), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [head, type] : cases) {
        EXPECT_EQ(SourceFile::imageType(std::span(reinterpret_cast<const unsigned char*>(head.data()), head.size())), type)
            << head;
    }
}

}  // namespace
}  // namespace dorvex
