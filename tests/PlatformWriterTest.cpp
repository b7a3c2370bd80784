// The platform writers: AVIF and HEIC told apart on reload at the asked size; TIFF pages kept as
// stored (count, order, size, samples, orientation, 1-bit depth) under LZW or Deflate, with the
// pages before an undecodable one written; ICNS through the recompressor; and the failures —
// thrown for sources that cannot be read, returned for outputs that cannot be written.

#include "image/encoders/PlatformWriter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "dorvex/image/ToolError.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "image/encoders/IcnsFile.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using dorvex::EncodeFailure;
using dorvex::OutputFormat;
using dorvex::Picture;
using dorvex::TIFFCompression;
using dorvex::ToolError;
using vips::VImage;
using Bytes = std::vector<std::uint8_t>;
namespace PlatformWriter = dorvex::PlatformWriter;

namespace {

const fs::path corpus = dorvex::testing::testMedia("images");

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "dorvex-writer-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

Bytes readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

EncodeFailure imageIO(const char* name) { return EncodeFailure{EncodeFailure::ImageIO{name}}; }

// ---- a reader of TIFF tags, independent of the code under test --------------------------------

// The SHORT and LONG tags of each page of a classic little- or big-endian TIFF.
using Tags = std::map<std::uint16_t, std::vector<std::uint32_t>>;

std::vector<Tags> tiffPages(const Bytes& file) {
    const bool big = file.at(0) == 'M';
    auto u16 = [&](std::size_t at) {
        const std::uint16_t a = file.at(at), b = file.at(at + 1);
        return std::uint16_t(big ? (a << 8) | b : (b << 8) | a);
    };
    auto u32 = [&](std::size_t at) {
        const std::uint32_t hi = u16(big ? at : at + 2), lo = u16(big ? at + 2 : at);
        return (hi << 16) | lo;
    };
    EXPECT_EQ(u16(2), 42);
    std::vector<Tags> pages;
    for (std::size_t ifd = u32(4); ifd != 0 && pages.size() < 100; ifd = u32(ifd + 2 + 12 * std::size_t(u16(ifd)))) {
        Tags tags;
        for (std::size_t i = 0; i < u16(ifd); ++i) {
            const std::size_t entry = ifd + 2 + 12 * i;
            const std::uint16_t type = u16(entry + 2);
            const std::uint32_t count = u32(entry + 4);
            if (type != 3 && type != 4) continue;
            const std::size_t bytes = count * (type == 3 ? 2u : 4u);
            const std::size_t values = bytes <= 4 ? entry + 8 : u32(entry + 8);
            for (std::size_t k = 0; k < count; ++k) {
                tags[u16(entry)].push_back(type == 3 ? u16(values + 2 * k) : u32(values + 4 * k));
            }
        }
        pages.push_back(tags);
    }
    return pages;
}

constexpr std::uint16_t tagCompression = 259;
constexpr std::uint16_t tagBitsPerSample = 258;
constexpr std::uint16_t tagOrientation = 274;
constexpr std::uint16_t tagPredictor = 317;

// ---- a minimal writer of uncompressed multi-page TIFFs, for sources libvips cannot make -------

struct RawPage {
    int width;
    int height;
    int samples;        // 1 grey, 3 RGB
    int bits;           // 8 or 16
    int orientation;
    Bytes pixels;       // little-endian samples, row by row
};

Bytes tiffOf(const std::vector<RawPage>& pages) {
    Bytes out{'I', 'I', 42, 0, 0, 0, 0, 0};
    auto put16 = [&](std::size_t at, std::uint32_t v) {
        out[at] = std::uint8_t(v);
        out[at + 1] = std::uint8_t(v >> 8);
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    std::size_t previousNext = 4;
    for (const RawPage& page : pages) {
        const std::size_t pixelsAt = out.size();
        out.insert(out.end(), page.pixels.begin(), page.pixels.end());
        if (out.size() % 2) out.push_back(0);
        std::size_t bitsAt = 0;
        if (page.samples == 3) {  // three SHORTs do not fit in the entry
            bitsAt = out.size();
            out.resize(out.size() + 6);
            for (int s = 0; s < 3; ++s) put16(bitsAt + 2 * std::size_t(s), std::uint32_t(page.bits));
        }
        const std::vector<std::array<std::uint32_t, 4>> entries{
            {256, 4, 1, std::uint32_t(page.width)},
            {257, 4, 1, std::uint32_t(page.height)},
            {258, 3, std::uint32_t(page.samples), page.samples == 3 ? std::uint32_t(bitsAt) : std::uint32_t(page.bits)},
            {259, 3, 1, 1},
            {262, 3, 1, page.samples == 3 ? 2u : 1u},
            {273, 4, 1, std::uint32_t(pixelsAt)},
            {274, 3, 1, std::uint32_t(page.orientation)},
            {277, 3, 1, std::uint32_t(page.samples)},
            {278, 4, 1, std::uint32_t(page.height)},
            {279, 4, 1, std::uint32_t(page.pixels.size())},
        };
        const std::size_t ifd = out.size();
        put32(previousNext, std::uint32_t(ifd));
        out.resize(out.size() + 2 + 12 * entries.size() + 4);
        put16(ifd, std::uint32_t(entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t at = ifd + 2 + 12 * i;
            put16(at, entries[i][0]);
            put16(at + 2, entries[i][1]);
            put32(at + 4, entries[i][2]);
            if (entries[i][1] == 3 && entries[i][2] == 1) {
                put16(at + 8, entries[i][3]);
            } else {
                put32(at + 8, entries[i][3]);
            }
        }
        previousNext = ifd + 2 + 12 * entries.size();
    }
    return out;
}

RawPage patternPage(int width, int height, int samples, int bits, int orientation, int seed) {
    RawPage page{width, height, samples, bits, orientation, {}};
    const std::size_t count = std::size_t(width) * std::size_t(height) * std::size_t(samples) * std::size_t(bits / 8);
    for (std::size_t i = 0; i < count; ++i) page.pixels.push_back(std::uint8_t((i * 37 + std::size_t(seed) * 11) % 251));
    return page;
}

// ---- pixels ----------------------------------------------------------------------------------

Bytes memoryOf(const VImage& image) {
    std::size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> memory(image.write_to_memory(&size), &g_free);
    const auto* begin = static_cast<const std::uint8_t*>(memory.get());
    return Bytes(begin, begin + size);
}

VImage tiffPage(const fs::path& file, int page) {
    return VImage::tiffload(file.c_str(), VImage::option()->set("page", page)->set("n", 1));
}

// Same size, sample format, bands and samples.
void expectSamePixels(const VImage& a, const VImage& b) {
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    ASSERT_EQ(a.bands(), b.bands());
    ASSERT_EQ(a.format(), b.format());
    EXPECT_TRUE(memoryOf(a) == memoryOf(b));
}

Picture pictureOf(VImage rgba) {
    return dorvex::makePicture(rgba.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)).copy_memory());
}

// A small RGBA picture from a corpus photo, with the given alpha everywhere.
Picture smallPhoto(int width, int height, int alpha) {
    VImage photo = VImage::thumbnail((corpus / "goexif-sample1.jpg").c_str(), width,
                                     VImage::option()->set("height", height)->set("size", VIPS_SIZE_FORCE));
    return pictureOf(photo.bandjoin_const({double(alpha)}));
}

class PlatformWriterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dorvex::VipsRuntime::start(); }
    TemporaryFolder folder;
};

// ---- AVIF and HEIC ---------------------------------------------------------------------------

TEST_F(PlatformWriterTest, LossyOutputsReloadAtTheirSizeAndAreToldApartByTheirCompression) {
    struct Case {
        OutputFormat format;
        const char* compression;
        int quality;
        int alpha;
        int bands;  // an opaque alpha is left out
    };
    const std::vector<Case> cases{
        {OutputFormat::avif, "av1", 74, 255, 3},
        {OutputFormat::avif, "av1", 0, 128, 4},    // quality clamped up to 1
        {OutputFormat::heic, "hevc", 74, 255, 3},
        {OutputFormat::heic, "hevc", 250, 128, 4},  // quality clamped down to 100
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format.displayName()) + " Q" + std::to_string(c.quality));
        const fs::path out = folder / ("out-" + std::to_string(c.quality) + "." + std::string(c.format.fileExtension()));
        ASSERT_EQ(PlatformWriter::writeLossy(smallPhoto(71, 41, c.alpha), c.format, c.quality, out), std::nullopt);
        const VImage reloaded = VImage::new_from_file(out.c_str());
        EXPECT_EQ(std::string(reloaded.get_string("vips-loader")), "heifload");
        EXPECT_EQ(std::string(reloaded.get_string("heif-compression")), c.compression);
        EXPECT_EQ(reloaded.width(), 71);
        EXPECT_EQ(reloaded.height(), 41);
        EXPECT_EQ(reloaded.bands(), c.bands);
        EXPECT_EQ(reloaded.get_typeof("exif-data"), 0u);
        EXPECT_EQ(reloaded.get_typeof("xmp-data"), 0u);
    }
}

TEST_F(PlatformWriterTest, HigherQualityGivesALargerAvif) {
    const Picture picture = smallPhoto(96, 64, 255);
    const fs::path low = folder / "low.avif";
    const fs::path high = folder / "high.avif";
    ASSERT_EQ(PlatformWriter::writeLossy(picture, OutputFormat::avif, 30, low), std::nullopt);
    ASSERT_EQ(PlatformWriter::writeLossy(picture, OutputFormat::avif, 90, high), std::nullopt);
    EXPECT_LT(fs::file_size(low), fs::file_size(high));
}

TEST_F(PlatformWriterTest, LossyOutputThatCannotBeWrittenIsAnImageIOFailure) {
    const Picture picture = smallPhoto(16, 16, 255);
    EXPECT_EQ(PlatformWriter::writeLossy(picture, OutputFormat::avif, 70, folder / "missing" / "a.avif"),
              imageIO("AVIF"));
    EXPECT_EQ(PlatformWriter::writeLossy(picture, OutputFormat::heic, 70, folder / "missing" / "a.heic"),
              imageIO("HEIC"));
    EXPECT_THROW(PlatformWriter::writeLossy(picture, OutputFormat::png, 70, folder / "a.png"), std::invalid_argument);
}

TEST_F(PlatformWriterTest, HeicKeepsColoursAndAnAlphaThatIsOnlyPartlyOpaque) {
    // Opaque on the left, a quarter opaque on the right: the alpha must survive with its values,
    // and the colours must come back in their own channels.
    VImage photo = VImage::thumbnail((corpus / "goexif-sample1.jpg").c_str(), 64,
                                     VImage::option()->set("height", 48)->set("size", VIPS_SIZE_FORCE))
                      .copy_memory();
    const VImage alpha = (VImage::xyz(64, 48)[0] < 32).ifthenelse(255, 64).cast(VIPS_FORMAT_UCHAR);
    const Picture picture = pictureOf(photo.bandjoin(alpha));
    const fs::path out = folder / "alpha.heic";
    ASSERT_EQ(PlatformWriter::writeLossy(picture, OutputFormat::heic, 90, out), std::nullopt);

    const VImage reloaded = VImage::new_from_file(out.c_str());
    EXPECT_EQ(std::string(reloaded.get_string("heif-compression")), "hevc");
    ASSERT_EQ(reloaded.bands(), 4);
    const VImage alphaBack = reloaded[3];
    EXPECT_NEAR(alphaBack.extract_area(2, 2, 28, 44).avg(), 255.0, 4.0);
    EXPECT_NEAR(alphaBack.extract_area(34, 2, 28, 44).avg(), 64.0, 4.0);
    for (int band = 0; band < 3; ++band) {
        SCOPED_TRACE("band " + std::to_string(band));
        const VImage difference = (photo[band].cast(VIPS_FORMAT_DOUBLE) - reloaded[band].cast(VIPS_FORMAT_DOUBLE)).abs();
        EXPECT_LT(difference.avg(), 12.0);  // 4:2:0 on a small, busy picture; swapped channels are far off
        const VImage other = photo[2 - band].cast(VIPS_FORMAT_DOUBLE) - reloaded[band].cast(VIPS_FORMAT_DOUBLE);
        if (band != 1) {
            EXPECT_GT(other.abs().avg(), difference.avg());
        }
    }
}

TEST_F(PlatformWriterTest, AnUnknownHeicPresetIsAnImageIOFailureAndLeavesNoFile) {
    const fs::path out = folder / "preset.heic";
    EXPECT_EQ(PlatformWriter::writeHeic(smallPhoto(16, 16, 255), 70, PlatformWriter::HeicPreset{"warp"}, out),
              imageIO("HEIC"));
    EXPECT_FALSE(fs::exists(out));
}

// ---- TIFF ------------------------------------------------------------------------------------

TEST_F(PlatformWriterTest, AThreePageTiffKeepsItsPagesAndOrientationUnderEitherCompression) {
    // Three different 40×24 pages, made by libvips as one tall image with a page height.
    std::vector<VImage> pages;
    for (int i = 0; i < 3; ++i) {
        pages.push_back((VImage::xyz(40, 24)[0] * (i + 1) + VImage::xyz(40, 24)[1] * 3).cast(VIPS_FORMAT_UCHAR));
    }
    VImage tall = VImage::arrayjoin({pages[0], pages[1], pages[2]}, VImage::option()->set("across", 1)).copy();
    tall = VImage::bandjoin({tall, tall, tall}).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    tall.set("page-height", 24);
    tall.set("orientation", 6);
    const fs::path source = folder / "three-pages.tif";
    tall.tiffsave(source.c_str(), VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_NONE));

    for (const auto& [compression, tag] : {std::pair{TIFFCompression::lzw, 5u}, std::pair{TIFFCompression::zip, 8u}}) {
        SCOPED_TRACE(std::string(TIFFCompression(compression).rawValue()));
        const fs::path out = folder / ("out-" + std::string(TIFFCompression(compression).rawValue()) + ".tiff");
        ASSERT_EQ(PlatformWriter::writeTiff(source, compression, out), std::nullopt);
        const std::vector<Tags> tags = tiffPages(readBytes(out));
        ASSERT_EQ(tags.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(tags[std::size_t(i)].at(tagCompression), std::vector<std::uint32_t>{tag});
            EXPECT_EQ(tags[std::size_t(i)].at(tagPredictor), std::vector<std::uint32_t>{2});
            EXPECT_EQ(tags[std::size_t(i)].at(tagOrientation), std::vector<std::uint32_t>{6});
            expectSamePixels(tiffPage(out, i), tiffPage(source, i));
        }
        EXPECT_EQ(VImage::new_from_file(out.c_str()).get_int("n-pages"), 3);
    }
}

TEST_F(PlatformWriterTest, PagesOfDifferentSizesSamplesAndOrientationsStayAsTheyAre) {
    const fs::path source = folder / "mixed.tif";
    const Bytes bytes = tiffOf({patternPage(8, 4, 1, 8, 1, 1), patternPage(5, 7, 3, 8, 6, 2),
                                patternPage(3, 3, 1, 16, 3, 3)});
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));

    const fs::path out = folder / "mixed.tiff";
    ASSERT_EQ(PlatformWriter::writeTiff(source, TIFFCompression::zip, out), std::nullopt);
    const std::vector<Tags> tags = tiffPages(readBytes(out));
    ASSERT_EQ(tags.size(), 3u);
    const std::vector<std::uint32_t> orientations{1, 6, 3};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tags[std::size_t(i)].at(tagCompression), std::vector<std::uint32_t>{8});
        EXPECT_EQ(tags[std::size_t(i)].at(tagOrientation), std::vector<std::uint32_t>{orientations[std::size_t(i)]});
        expectSamePixels(tiffPage(out, i), tiffPage(source, i));
    }
    EXPECT_EQ(tags[2].at(tagBitsPerSample), std::vector<std::uint32_t>{16});
}

TEST_F(PlatformWriterTest, OneBitPagesStayOneBit) {
    const fs::path source = corpus / "bw-gopher_ccittGroup4.tiff";
    const fs::path out = folder / "gopher.tiff";
    ASSERT_EQ(PlatformWriter::writeTiff(source, TIFFCompression::lzw, out), std::nullopt);
    const std::vector<Tags> tags = tiffPages(readBytes(out));
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0].at(tagBitsPerSample), std::vector<std::uint32_t>{1});
    expectSamePixels(tiffPage(out, 0), tiffPage(source, 0));
}

TEST_F(PlatformWriterTest, OtherFormatsGiveOneStoredPage) {
    // A JPEG under a TIFF name: its one image, as decoded, not turned upright.
    for (const char* name : {"snake.tiff", "has-lens-info.jpg"}) {
        SCOPED_TRACE(name);
        const fs::path out = folder / (std::string(name) + ".tiff");
        ASSERT_EQ(PlatformWriter::writeTiff(corpus / name, TIFFCompression::zip, out), std::nullopt);
        ASSERT_EQ(tiffPages(readBytes(out)).size(), 1u);
        expectSamePixels(tiffPage(out, 0), VImage::new_from_file((corpus / name).c_str()));
    }
    // has-lens-info.jpg is stored sideways with orientation 6.
    EXPECT_EQ(tiffPages(readBytes(folder / "has-lens-info.jpg.tiff"))[0].at(tagOrientation),
              std::vector<std::uint32_t>{6});
}

TEST_F(PlatformWriterTest, APageThatCannotBeDecodedEndsTheOutputAfterThePagesBeforeIt) {
    // Page 2 of 3 is old-style JPEG with subsampling, which the decoder refuses.
    const fs::path source = corpus / "leptonica-multipage.tiff";
    const fs::path out = folder / "partial.tiff";
    try {
        PlatformWriter::writeTiff(source, TIFFCompression::lzw, out);
        ADD_FAILURE() << "no error";
    } catch (const ToolError& error) {
        EXPECT_EQ(error.kind, ToolError::Kind::unreadable);
        EXPECT_EQ(error.file, source);
    }
    ASSERT_TRUE(fs::exists(out));
    ASSERT_EQ(tiffPages(readBytes(out)).size(), 1u);
    expectSamePixels(tiffPage(out, 0), tiffPage(source, 0));
}

TEST_F(PlatformWriterTest, TiffSourcesThatCannotBeOpenedThrowAndUnwritableOutputsFail) {
    const fs::path garbage = folder / "garbage.tif";
    std::ofstream(garbage) << "II*\0 certainly not a TIFF";
    for (const fs::path& source : {folder / "missing.tif", garbage}) {
        SCOPED_TRACE(source.string());
        EXPECT_THROW(PlatformWriter::writeTiff(source, TIFFCompression::zip, folder / "x.tiff"), ToolError);
        EXPECT_FALSE(fs::exists(folder / "x.tiff"));
    }
    EXPECT_EQ(PlatformWriter::writeTiff(corpus / "kodim07-lzw.tif", TIFFCompression::zip, folder / "missing" / "x.tiff"),
              imageIO("TIFF"));
}

// ---- ICNS ------------------------------------------------------------------------------------

TEST_F(PlatformWriterTest, IcnsIsRecompressedLosslesslyAndFailuresAreSortedOut) {
    const fs::path source = corpus / "webcamoid.icns";
    const fs::path out = folder / "webcamoid.icns";
    ASSERT_EQ(PlatformWriter::writeIcns(source, out), std::nullopt);
    EXPECT_LT(fs::file_size(out), fs::file_size(source));
    EXPECT_EQ(dorvex::IcnsFile::read(out).elements.size(), dorvex::IcnsFile::read(source).elements.size());

    // Not an icon family: unreadable. No images in it: nothing to write. Unwritable: failure.
    EXPECT_THROW(PlatformWriter::writeIcns(corpus / "orientation_8.jpg", folder / "a.icns"), ToolError);
    const fs::path empty = folder / "empty.icns";
    dorvex::IcnsFile::write(dorvex::IcnsFile{{{"icnV", {0, 0, 0, 0}}}}, empty);
    EXPECT_EQ(PlatformWriter::writeIcns(empty, folder / "b.icns"), imageIO("ICNS"));
    EXPECT_EQ(PlatformWriter::writeIcns(source, folder / "missing" / "c.icns"), imageIO("ICNS"));
}

}  // namespace
