// Icon families: reading the corpus families (element types, kinds, sizes, decoding), byte-exact
// round trips, malformed and truncated input (a typed error, never a crash or an over-read),
// payloads that do not decode, the run-length planes, the table of contents, and lossless
// recompression that never grows a family.

#include "image/encoders/IcnsFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::IcnsElement;
using dorvex::IcnsError;
using dorvex::IcnsFile;
using dorvex::Picture;
using dorvex::PixelSize;
using Bytes = std::vector<std::uint8_t>;
using Kind = IcnsElement::Kind;

namespace {

const fs::path corpus = dorvex::testing::testMedia("images");

using dorvex::testing::TemporaryFolder;

Bytes readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void putBigEndian32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = std::uint8_t(value >> (8 * (3 - i)));
}

// A family's bytes from (type, payload) pairs, with correct lengths.
Bytes familyBytes(const std::vector<std::pair<std::string, Bytes>>& elements) {
    Bytes out{'i', 'c', 'n', 's', 0, 0, 0, 0};
    for (const auto& [type, payload] : elements) {
        out.insert(out.end(), type.begin(), type.end());
        out.resize(out.size() + 4);
        putBigEndian32(out, out.size() - 4, std::uint32_t(8 + payload.size()));
        out.insert(out.end(), payload.begin(), payload.end());
    }
    putBigEndian32(out, 4, std::uint32_t(out.size()));
    return out;
}

// The picture's RGBA samples, row by row.
Bytes samples(const Picture& picture) {
    std::size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> memory(dorvex::vipsImage(picture).write_to_memory(&size), &g_free);
    const auto* begin = static_cast<const std::uint8_t*>(memory.get());
    return Bytes(begin, begin + size);
}

// A side × side RGBA test image with a few flat colours, a gradient and some transparency.
vips::VImage testImage(int side) {
    vips::VImage x = vips::VImage::xyz(side, side)[0];
    vips::VImage y = vips::VImage::xyz(side, side)[1];
    vips::VImage red = (x * 255 / side).cast(VIPS_FORMAT_UCHAR);
    vips::VImage green = ((x / 4) * 40 % 256).cast(VIPS_FORMAT_UCHAR);
    vips::VImage blue = (y * 7 % 256).cast(VIPS_FORMAT_UCHAR);
    vips::VImage alpha = (y > side / 2).ifthenelse(255, 128).cast(VIPS_FORMAT_UCHAR);
    return vips::VImage::bandjoin({red, green, blue, alpha}).copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

Bytes pngBytes(const vips::VImage& image, int compression) {
    VipsBlob* blob = image.pngsave_buffer(vips::VImage::option()->set("compression", compression));
    std::size_t length = 0;
    const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &length));
    Bytes bytes(data, data + length);
    vips_area_unref(reinterpret_cast<VipsArea*>(blob));
    return bytes;
}

// Apple's run-length coding written as literals only (the loosest valid coding).
Bytes literalRuns(const Bytes& plane) {
    Bytes out;
    for (std::size_t at = 0; at < plane.size(); at += 128) {
        const std::size_t length = std::min<std::size_t>(128, plane.size() - at);
        out.push_back(std::uint8_t(length - 1));
        out.insert(out.end(), plane.begin() + std::ptrdiff_t(at), plane.begin() + std::ptrdiff_t(at + length));
    }
    return out;
}

class IcnsFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dorvex::VipsRuntime::start(); }
};

// ---- the corpus families ---------------------------------------------------------------------

struct CorpusFamily {
    const char* file;
    std::vector<std::pair<std::string, Kind>> elements;
    int largestSide;
};

const std::vector<CorpusFamily>& corpusFamilies() {
    static const std::vector<CorpusFamily> families{
        {"etmlogo.icns",
         {{"is32", Kind::rgb}, {"s8mk", Kind::mask}, {"il32", Kind::rgb}, {"l8mk", Kind::mask},
          {"ih32", Kind::rgb}, {"h8mk", Kind::mask}, {"it32", Kind::rgb}, {"t8mk", Kind::mask},
          {"ic08", Kind::jpeg2000}, {"ic09", Kind::jpeg2000}},
         512},
        {"pygame_icon.icns",
         {{"ic12", Kind::png}, {"ic07", Kind::png}, {"ic13", Kind::png}, {"ic08", Kind::png},
          {"ic04", Kind::argb}, {"ic05", Kind::argb}, {"ic11", Kind::png}, {"info", Kind::other}},
         256},
        {"pyzo-py.icns",
         {{"ih32", Kind::rgb}, {"il32", Kind::rgb}, {"is32", Kind::rgb}, {"h8mk", Kind::mask},
          {"l8mk", Kind::mask}, {"s8mk", Kind::mask}},
         48},
        {"webcamoid.icns",
         {{"is32", Kind::rgb}, {"s8mk", Kind::mask}, {"il32", Kind::rgb}, {"l8mk", Kind::mask},
          {"ih32", Kind::rgb}, {"h8mk", Kind::mask}, {"it32", Kind::rgb}, {"t8mk", Kind::mask},
          {"ic08", Kind::jpeg2000}},
         256},
    };
    return families;
}

TEST_F(IcnsFileTest, CorpusFamiliesReadWithTheirElementsInOrderAndEveryImageDecodes) {
    for (const CorpusFamily& expected : corpusFamilies()) {
        SCOPED_TRACE(expected.file);
        const IcnsFile family = IcnsFile::read(corpus / expected.file);
        ASSERT_EQ(family.elements.size(), expected.elements.size());
        std::size_t images = 0;
        for (std::size_t i = 0; i < family.elements.size(); ++i) {
            SCOPED_TRACE(family.elements[i].type);
            EXPECT_EQ(family.elements[i].type, expected.elements[i].first);
            EXPECT_EQ(family.elements[i].kind(), expected.elements[i].second);
            if (!family.elements[i].isImage()) {
                EXPECT_FALSE(family.decode(i));
                continue;
            }
            ++images;
            const std::optional<PixelSize> size = family.pixelSize(i);
            const std::optional<Picture> picture = family.decode(i);
            ASSERT_TRUE(size);
            ASSERT_TRUE(picture);
            EXPECT_EQ(picture->size(), *size);
        }
        EXPECT_EQ(family.imageCount(), images);
        const std::optional<Picture> largest = family.decodeLargest();
        ASSERT_TRUE(largest);
        EXPECT_EQ(largest->size(), (PixelSize{expected.largestSide, expected.largestSide}));
    }
}

TEST_F(IcnsFileTest, RawIconsTakeTheirAlphaFromTheMatchingMask) {
    const IcnsFile family = IcnsFile::read(corpus / "pyzo-py.icns");
    // ih32 (48) is element 0, its mask h8mk is element 3.
    const std::optional<Picture> picture = family.decode(0);
    ASSERT_TRUE(picture);
    const Bytes rgba = samples(*picture);
    const Bytes& mask = family.elements[3].data;
    ASSERT_EQ(mask.size() * 4, rgba.size());
    for (std::size_t i = 0; i < mask.size(); ++i) ASSERT_EQ(rgba[i * 4 + 3], mask[i]) << "pixel " << i;
    EXPECT_TRUE(std::any_of(mask.begin(), mask.end(), [](std::uint8_t a) { return a == 0; }));
}

TEST_F(IcnsFileTest, ReadThenWriteGivesTheSameBytesAndTheSameElements) {
    TemporaryFolder folder;
    for (const CorpusFamily& expected : corpusFamilies()) {
        SCOPED_TRACE(expected.file);
        const fs::path source = corpus / expected.file;
        const IcnsFile family = IcnsFile::read(source);
        EXPECT_EQ(family.serialize(), readBytes(source));
        const fs::path copy = folder.path() / expected.file;
        IcnsFile::write(family, copy);
        EXPECT_EQ(IcnsFile::read(copy), family);
    }
}

// ---- malformed input -------------------------------------------------------------------------

TEST_F(IcnsFileTest, MalformedFamiliesAreTypedErrors) {
    const Bytes good = familyBytes({{"ic07", {1, 2, 3, 4}}, {"icnV", {0, 0, 0, 0}}});
    auto withByte = [&](std::size_t at, std::uint8_t value) {
        Bytes bytes = good;
        bytes[at] = value;
        return bytes;
    };
    auto withLength = [&](std::size_t at, std::uint32_t value) {
        Bytes bytes = good;
        putBigEndian32(bytes, at, value);
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases{
        {"empty", {}},
        {"shorter than the header", {'i', 'c', 'n', 's', 0, 0}},
        {"wrong signature", withByte(0, 'I')},
        {"declared length below the header", withLength(4, 7)},
        {"declared length past the end", withLength(4, std::uint32_t(good.size() + 1))},
        {"declared length at 4 GiB", withLength(4, 0xFFFFFFFF)},
        {"element length below its header", withLength(12, 7)},
        {"element length zero", withLength(12, 0)},
        {"element length past the end", withLength(12, 13)},
        {"element length huge", withLength(12, 0xFFFFFFF0)},
        {"element header cut short", withLength(4, std::uint32_t(good.size() - 12 + 4))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            IcnsFile::parse(c.bytes);
            ADD_FAILURE() << "parsed";
        } catch (const IcnsError& error) {
            EXPECT_EQ(error.kind, IcnsError::Kind::malformed);
            EXPECT_NE(std::string(error.what()).find("not a valid ICNS file"), std::string::npos) << error.what();
        }
    }
}

TEST_F(IcnsFileTest, BytesPastTheDeclaredLengthAreIgnored) {
    Bytes bytes = familyBytes({{"icnV", {1, 2, 3, 4}}});
    bytes.insert(bytes.end(), {9, 9, 9});
    EXPECT_EQ(IcnsFile::parse(bytes).elements, (std::vector<IcnsElement>{{"icnV", {1, 2, 3, 4}}}));
}

TEST_F(IcnsFileTest, EveryTruncationOfARealFamilyIsRejectedOrParsedWithinBounds) {
    const Bytes whole = readBytes(corpus / "etmlogo.icns");
    for (std::size_t cut = 0; cut < whole.size(); cut += 97) {
        // As cut (the header still claims the whole length) and with the header made to agree.
        const Bytes truncated(whole.begin(), whole.begin() + std::ptrdiff_t(cut));
        EXPECT_THROW(IcnsFile::parse(truncated), IcnsError) << cut;
        if (cut < 8) continue;
        Bytes agreeing = truncated;
        putBigEndian32(agreeing, 4, std::uint32_t(cut));
        try {
            const IcnsFile family = IcnsFile::parse(agreeing);
            EXPECT_EQ(family.serialize(), agreeing);  // the cut fell between elements
        } catch (const IcnsError& error) {
            EXPECT_EQ(error.kind, IcnsError::Kind::malformed);
        }
    }
}

TEST_F(IcnsFileTest, ReadingNamesTheFileInItsErrors) {
    TemporaryFolder folder;
    const fs::path missing = folder.path() / "missing.icns";
    try {
        IcnsFile::read(missing);
        ADD_FAILURE() << "read a missing file";
    } catch (const IcnsError& error) {
        EXPECT_EQ(error.kind, IcnsError::Kind::unreadable);
        EXPECT_EQ(std::string(error.what()), "cannot read " + missing.string());
    }

    const fs::path truncated = folder.path() / "truncated.icns";
    const Bytes whole = readBytes(corpus / "pyzo-py.icns");
    writeBytes(truncated, Bytes(whole.begin(), whole.begin() + 1000));
    try {
        IcnsFile::read(truncated);
        ADD_FAILURE() << "read a truncated file";
    } catch (const IcnsError& error) {
        EXPECT_EQ(error.kind, IcnsError::Kind::malformed);
        EXPECT_EQ(std::string(error.what()), truncated.string() + " is not a valid ICNS file: truncated: declares " +
                                                 std::to_string(whole.size()) + " bytes, has 1000");
    }

    const fs::path notIcns = folder.path() / "photo.icns";
    fs::copy_file(corpus / "orientation_8.jpg", notIcns);
    EXPECT_THROW(IcnsFile::read(notIcns), IcnsError);
}

TEST_F(IcnsFileTest, WritingWhereNothingCanBeWrittenIsATypedError) {
    TemporaryFolder folder;
    const fs::path target = folder.path() / "no-such-folder" / "out.icns";
    try {
        IcnsFile::write(IcnsFile{{{"icnV", {0, 0, 0, 0}}}}, target);
        ADD_FAILURE() << "wrote";
    } catch (const IcnsError& error) {
        EXPECT_EQ(error.kind, IcnsError::Kind::writeFailed);
        EXPECT_EQ(std::string(error.what()), "cannot write " + target.string());
    }
}

TEST_F(IcnsFileTest, PayloadsThatDoNotDecodeAreNotImages) {
    const Bytes png = pngBytes(testImage(16), 6);
    const Bytes argb = IcnsFile::read(corpus / "pygame_icon.icns").elements[4].data;  // ic04
    struct Case {
        const char* name;
        IcnsElement element;
    };
    const std::vector<Case> cases{
        {"PNG cut short", {"ic07", Bytes(png.begin(), png.begin() + 40)}},
        {"PNG signature only", {"ic07", Bytes(png.begin(), png.begin() + 8)}},
        {"PNG claiming a huge size", {"ic07", [&] {
             Bytes bytes = png;
             putBigEndian32(bytes, 16, 100000);
             return bytes;
         }()}},
        {"JPEG 2000 signature only", {"ic08", {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', '\r', '\n', 0x87, '\n'}}},
        {"JPEG 2000 codestream garbage", {"ic08", {0xFF, 0x4F, 0xFF, 0x51, 0, 1, 2}}},
        {"ARGB planes cut short", {"ic04", Bytes(argb.begin(), argb.begin() + std::ptrdiff_t(argb.size() / 2))}},
        {"ARGB with nothing after the prefix", {"ic04", {'A', 'R', 'G', 'B'}}},
        {"RGB planes cut short", {"is32", {0x7F, 1, 2, 3}}},
        {"RGB run without its byte", {"is32", {0x80}}},
        {"it32 shorter than its prefix", {"it32", {0, 0}}},
        {"empty RGB", {"il32", {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IcnsFile family{{c.element}};
        EXPECT_TRUE(family.elements[0].isImage());
        EXPECT_FALSE(family.decode(0));
        EXPECT_FALSE(family.decodeLargest());
        // Recompression keeps what it cannot decode.
        EXPECT_EQ(IcnsFile::recompressed(family), family);
    }
}

// ---- run-length planes -----------------------------------------------------------------------

TEST_F(IcnsFileTest, RawPlanesDecodeFromRunsOrPlainPixelsAndRecodeSmaller) {
    constexpr std::size_t pixels = 16 * 16;
    Bytes planes(pixels * 3);
    for (std::size_t i = 0; i < pixels; ++i) {
        planes[i] = std::uint8_t(i < 100 ? 10 : i);     // a long run, then distinct values
        planes[pixels + i] = std::uint8_t(i / 16 * 3);  // runs of 16
        planes[2 * pixels + i] = 200;                   // one long run
    }
    Bytes loose;  // literals only, plane by plane
    for (std::size_t p = 0; p < 3; ++p) {
        const Bytes coded = literalRuns(Bytes(planes.begin() + std::ptrdiff_t(p * pixels),
                                              planes.begin() + std::ptrdiff_t((p + 1) * pixels)));
        loose.insert(loose.end(), coded.begin(), coded.end());
    }
    Bytes plain(pixels * 4);  // an unused byte, then R, G, B
    for (std::size_t i = 0; i < pixels; ++i) {
        for (std::size_t c = 0; c < 3; ++c) plain[i * 4 + 1 + c] = planes[c * pixels + i];
    }
    Bytes expected(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        for (std::size_t c = 0; c < 3; ++c) expected[i * 4 + c] = planes[c * pixels + i];
        expected[i * 4 + 3] = 255;
    }

    const IcnsFile coded{{{"is32", loose}}};
    const IcnsFile uncoded{{{"is32", plain}}};
    ASSERT_TRUE(coded.decode(0));
    ASSERT_TRUE(uncoded.decode(0));
    EXPECT_EQ(samples(*coded.decode(0)), expected);
    EXPECT_EQ(samples(*uncoded.decode(0)), expected);

    const IcnsFile recoded = IcnsFile::recompressed(coded);
    EXPECT_LT(recoded.elements[0].data.size(), loose.size());
    ASSERT_TRUE(recoded.decode(0));
    EXPECT_EQ(samples(*recoded.decode(0)), expected);
    // Plain pixels are told apart by their size: they are kept as they are.
    EXPECT_EQ(IcnsFile::recompressed(uncoded), uncoded);
}

TEST_F(IcnsFileTest, RunsMayCrossFromOnePlaneIntoTheNext) {
    constexpr std::size_t pixels = 16 * 16;
    // Red all 7 except the last 2 bytes, which join green's first byte in one run of 3 zeros.
    Bytes coded;
    auto run = [&](std::size_t length, std::uint8_t value) {
        while (length > 0) {
            const std::size_t n = std::min<std::size_t>(length, 130);
            coded.push_back(std::uint8_t(n + 125));
            coded.push_back(value);
            length -= n;
        }
    };
    run(pixels - 2, 7);
    run(3, 0);               // red's last two and green's first
    run(pixels - 1, 9);      // rest of green
    run(pixels, 11);         // blue
    const IcnsFile family{{{"is32", coded}}};
    const std::optional<Picture> picture = family.decode(0);
    ASSERT_TRUE(picture);
    const Bytes rgba = samples(*picture);
    EXPECT_EQ(rgba[(pixels - 3) * 4], 7);
    EXPECT_EQ(rgba[(pixels - 1) * 4], 0);
    EXPECT_EQ(rgba[0 * 4 + 1], 0);
    EXPECT_EQ(rgba[1 * 4 + 1], 9);
    EXPECT_EQ(rgba[5 * 4 + 2], 11);
}

// ---- recompression ---------------------------------------------------------------------------

// Same element types in the same order, every image decodes to the same pixels, and every
// payload is no larger than before.
void expectLosslessAndNoLarger(const IcnsFile& before, const IcnsFile& after) {
    ASSERT_EQ(after.elements.size(), before.elements.size());
    for (std::size_t i = 0; i < before.elements.size(); ++i) {
        SCOPED_TRACE(before.elements[i].type);
        EXPECT_EQ(after.elements[i].type, before.elements[i].type);
        EXPECT_LE(after.elements[i].data.size(), before.elements[i].data.size());
        EXPECT_EQ(after.elements[i].isImage(), before.elements[i].isImage());
        if (!before.elements[i].isImage()) {
            if (before.elements[i].kind() != Kind::tableOfContents) {
                EXPECT_EQ(after.elements[i], before.elements[i]);
            }
            continue;
        }
        const std::optional<Picture> old = before.decode(i);
        const std::optional<Picture> recompressed = after.decode(i);
        ASSERT_TRUE(old);
        ASSERT_TRUE(recompressed);
        EXPECT_EQ(recompressed->size(), old->size());
        EXPECT_TRUE(samples(*recompressed) == samples(*old));
    }
}

TEST_F(IcnsFileTest, RecompressingCorpusFamiliesIsLosslessAndNeverLarger) {
    TemporaryFolder folder;
    for (const CorpusFamily& expected : corpusFamilies()) {
        SCOPED_TRACE(expected.file);
        const fs::path source = corpus / expected.file;
        const fs::path output = folder.path() / expected.file;
        IcnsFile::recompress(source, output);
        EXPECT_LE(fs::file_size(output), fs::file_size(source));
        expectLosslessAndNoLarger(IcnsFile::read(source), IcnsFile::read(output));
    }
}

TEST_F(IcnsFileTest, LoosePngPayloadsShrinkAndJpeg2000BecomesPngOnlyWhereAllowed) {
    const vips::VImage image = testImage(64);
    const Bytes storedPng = pngBytes(image, 0);  // no deflate at all
    const Bytes jp2 = [&] {
        VipsBlob* blob = image.jp2ksave_buffer(vips::VImage::option()->set("lossless", true));
        std::size_t length = 0;
        const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &length));
        Bytes bytes(data, data + length);
        vips_area_unref(reinterpret_cast<VipsArea*>(blob));
        return bytes;
    }();
    // A four-colour image that a palette stores exactly.
    const vips::VImage flat = (vips::VImage::xyz(64, 64)[0] / 16 * 60).cast(VIPS_FORMAT_UCHAR);
    const Bytes flatPng = pngBytes(vips::VImage::bandjoin({flat, flat, flat})
                                       .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
                                   9);

    const IcnsFile before{{{"ic07", storedPng}, {"ic12", jp2}, {"ic04", jp2}, {"ic13", flatPng}}};
    const IcnsFile after = IcnsFile::recompressed(before);
    expectLosslessAndNoLarger(before, after);
    EXPECT_LT(after.elements[0].data.size(), storedPng.size() / 2);
    EXPECT_EQ(after.elements[1].kind(), Kind::png);       // ic12 holds PNG or JPEG 2000
    EXPECT_EQ(after.elements[2].data, jp2);                // ic04 is left as it is
    EXPECT_LT(after.elements[3].data.size(), flatPng.size());  // palette
}

TEST_F(IcnsFileTest, EveryPayloadLayoutDecodesToRgbaAndRecompressesLosslessly) {
    const vips::VImage rgba = testImage(32);
    const vips::VImage grey = rgba[0].copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    const vips::VImage greyAlpha = grey.bandjoin(rgba[3]);
    const vips::VImage deep = (rgba.cast(VIPS_FORMAT_USHORT) * 257)
                                  .cast(VIPS_FORMAT_USHORT)
                                  .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
    auto save = [](const vips::VImage& image, vips::VOption* options, bool jp2) {
        VipsBlob* blob = jp2 ? image.jp2ksave_buffer(options) : image.pngsave_buffer(options);
        std::size_t length = 0;
        const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &length));
        Bytes bytes(data, data + length);
        vips_area_unref(reinterpret_cast<VipsArea*>(blob));
        return bytes;
    };
    auto png = [&](const vips::VImage& image) { return save(image, vips::VImage::option()->set("compression", 1), false); };
    auto jp2 = [&](const vips::VImage& image) { return save(image, vips::VImage::option()->set("lossless", true), true); };
    struct Case {
        const char* name;
        Bytes payload;
        bool greyLevels;  // R = G = B in the decoded picture
    };
    const std::vector<Case> cases{
        {"PNG grey", png(grey), true},
        {"PNG grey and alpha", png(greyAlpha), true},
        {"PNG RGB", png(rgba.extract_band(0, vips::VImage::option()->set("n", 3))), false},
        {"PNG RGBA", png(rgba), false},
        {"PNG RGBA 16-bit", png(deep), false},
        {"PNG palette", save(rgba, vips::VImage::option()->set("palette", true)->set("dither", 0.0), false), false},
        {"PNG 1-bit grey", save((grey > 128).ifthenelse(255, 0).cast(VIPS_FORMAT_UCHAR),
                                vips::VImage::option()->set("bitdepth", 1), false), true},
        {"JPEG 2000 grey", jp2(grey), true},
        {"JPEG 2000 RGBA", jp2(rgba), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IcnsFile family{{{"ic07", c.payload}}};
        EXPECT_EQ(family.pixelSize(0), (PixelSize{32, 32}));
        const std::optional<Picture> picture = family.decode(0);
        ASSERT_TRUE(picture);
        const vips::VImage decoded = dorvex::vipsImage(*picture);
        EXPECT_EQ(decoded.bands(), 4);
        EXPECT_EQ(decoded.format(), VIPS_FORMAT_UCHAR);
        if (c.greyLevels) {
            EXPECT_EQ((decoded[0] == decoded[1]).min(), 255.0);
            EXPECT_EQ((decoded[1] == decoded[2]).min(), 255.0);
        }
        expectLosslessAndNoLarger(family, IcnsFile::recompressed(family));
    }
}

TEST_F(IcnsFileTest, TheTableOfContentsFollowsTheRecompressedLengths) {
    const Bytes loosePng = pngBytes(testImage(32), 0);
    Bytes toc;
    auto entry = [&](const std::string& type, std::size_t length) {
        toc.insert(toc.end(), type.begin(), type.end());
        toc.resize(toc.size() + 4);
        putBigEndian32(toc, toc.size() - 4, std::uint32_t(length));
    };
    entry("ic11", 8 + loosePng.size());
    entry("icnV", 12);
    const IcnsFile before{{{"TOC ", toc}, {"ic11", loosePng}, {"icnV", {0, 0, 0, 1}}}};
    EXPECT_EQ(before.serialize(), familyBytes({{"TOC ", toc}, {"ic11", loosePng}, {"icnV", {0, 0, 0, 1}}}));

    const IcnsFile after = IcnsFile::recompressed(before);
    const Bytes bytes = after.serialize();
    const IcnsFile reread = IcnsFile::parse(bytes);
    ASSERT_LT(reread.elements[1].data.size(), loosePng.size());
    const Bytes& newToc = reread.elements[0].data;
    ASSERT_EQ(newToc.size(), 16u);
    EXPECT_EQ(std::string(newToc.begin(), newToc.begin() + 4), "ic11");
    const std::uint32_t listed = (std::uint32_t(newToc[4]) << 24) | (std::uint32_t(newToc[5]) << 16) |
                                 (std::uint32_t(newToc[6]) << 8) | newToc[7];
    EXPECT_EQ(listed, 8 + reread.elements[1].data.size());
    EXPECT_EQ(Bytes(newToc.begin() + 8, newToc.end()), Bytes(toc.begin() + 8, toc.end()));
}

}  // namespace
