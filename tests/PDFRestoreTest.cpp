// Restoring pages of a filtered PDF from its source, with the outline and links.

#include "PDFTestSupport.h"

namespace dorvex {
namespace {

TEST(PDFRestore, PutsPagesBackAndKeepsOutlineAndLinks) {
    const fs::path source = linkedSample("linked.pdf");
    const fs::path filtered = source.parent_path() / "grown.pdf";
    writeGrown(source, filtered, 1);
    {
        auto grownPDF = open(filtered);
        ASSERT_EQ(outlineTargets(*grownPDF), linkedOutline);
        ASSERT_EQ(linkTargets(*grownPDF), linkedLinks);
    }
    auto original = open(source);
    auto target = open(filtered);
    ASSERT_TRUE(PDFCompressor::restore({1}, *original, *target));
    const fs::path merged = source.parent_path() / "merged.pdf";
    QPDFWriter(*target, merged.c_str()).write();

    auto result = open(merged);
    ASSERT_EQ(QPDFPageDocumentHelper(*result).getAllPages().size(), 3u);
    EXPECT_EQ(rawData(imageOnPage(*result, 1, "/Im1")), rawData(imageOnPage(*original, 1, "/Im1")));
    EXPECT_NE(rawData(imageOnPage(*result, 0, "/Im1")), rawData(imageOnPage(*original, 0, "/Im1")));  // still filtered
    EXPECT_EQ(decodedContents(*result, 1), decodedContents(*original, 1));
    EXPECT_EQ(outlineTargets(*result), linkedOutline);
    EXPECT_EQ(linkTargets(*result), linkedLinks);
    EXPECT_EQ(destinationIndex(*result, QPDFObjectHandle::newString("two")), 1);
}

TEST(PDFRestore, RestoresEveryPageAskedFor) {
    const fs::path source = linkedSample("linked.pdf");
    const fs::path filtered = source.parent_path() / "grown.pdf";
    writeGrown(source, filtered, 1);
    auto original = open(source);
    auto target = open(filtered);
    ASSERT_TRUE(PDFCompressor::restore({2, 0, 1, 1}, *original, *target));  // any order, repeats harmless
    const fs::path merged = source.parent_path() / "merged.pdf";
    QPDFWriter(*target, merged.c_str()).write();
    auto result = open(merged);
    for (int page = 0; page < 3; ++page) EXPECT_EQ(decodedContents(*result, page), decodedContents(*original, page));
    EXPECT_EQ(rawData(imageOnPage(*result, 0, "/Im1")), rawData(imageOnPage(*original, 0, "/Im1")));
    EXPECT_EQ(outlineTargets(*result), linkedOutline);
    EXPECT_EQ(linkTargets(*result), linkedLinks);
}

TEST(PDFRestore, RefusesDocumentsThatDoNotMatch) {
    const fs::path source = linkedSample("linked.pdf");
    auto original = open(source);
    {
        auto target = open(source);
        EXPECT_FALSE(PDFCompressor::restore({3}, *original, *target));
        EXPECT_FALSE(PDFCompressor::restore({-1}, *original, *target));
    }
    auto other = open(filterSample());  // six pages against three
    EXPECT_FALSE(PDFCompressor::restore({0}, *original, *other));
    auto target = open(source);
    EXPECT_TRUE(PDFCompressor::restore({}, *original, *target));
}

}  // namespace
}  // namespace dorvex
