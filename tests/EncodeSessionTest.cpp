// Encoders and sessions with the real tools on real files: what each run writes, what a refusal
// reads like, and that a session leaves nothing behind.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vips/vips8>

#include <fstream>
#include <map>

#include "dorvex/model/CompressionOptions.h"
#include "image/EncodeSession.h"
#include "image/SourceImage.h"
#include "dorvex/image/Toolchain.h"
#include "image/VipsRuntime.h"
#include "image/encoders/ImageEncoder.h"
#include "platform/WorkFolder.h"
#include "image/SearchAhead.h"
#include "TestSupport.h"

using namespace dorvex;
namespace fs = std::filesystem;

namespace {

const fs::path corpus = dorvex::testing::testMedia("images");

const Toolchain& tools() {
    static const Toolchain toolchain = Toolchain::locate(processEnvironment(), fs::path(DORVEX_RESOURCE_DIR) / "bin");
    return toolchain;
}

CompressionOptions optionsFor(std::optional<OutputFormat> format, bool jxlLossless = false) {
    CompressionOptions options;
    options.format = format;
    options.jxlLossless = jxlLossless;
    return options;
}

PixelSize decodedSize(const fs::path& file) {
    VipsRuntime::start();
    vips::VImage image = vips::VImage::new_from_file(file.c_str());
    return {image.width(), image.height()};
}

using TempDir = dorvex::testing::TemporaryFolder;

}  // namespace

TEST(Encoders, EveryEncoderWritesTheAskedSize) {
    struct Case {
        const char* source;
        OutputFormat format;
        int quality;
        std::optional<PixelSize> size;
        PixelSize expected;
    };
    const Case cases[] = {
        {"goexif-sample1.jpg", OutputFormat::jpeg, 74, std::nullopt, {500, 375}},
        {"goexif-sample1.jpg", OutputFormat::jpeg, 40, PixelSize{250, 188}, {250, 188}},
        {"drawing-screenshot_color_palette.png", OutputFormat::png, 74, PixelSize{300, 219}, {300, 219}},
        {"tmshre_riaphotographs_alpha.png", OutputFormat::webp, 74, PixelSize{123, 45}, {123, 45}},
        {"goexif-sample1.jpg", OutputFormat::jxl, 74, PixelSize{200, 150}, {200, 150}},
        {"has-lens-info.jpg", OutputFormat::avif, 60, std::nullopt, {102, 205}},  // orientation 6: upright
        {"sunset-lossy.webp", OutputFormat::heic, 60, PixelSize{128, 128}, {128, 128}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " → " + std::string(c.format.rawValue()));
        SourceImage source(corpus / c.source);
        EncodeSession session(source, c.format, encoderFor(tools(), c.format, optionsFor(c.format)));
        auto bytes = session.encode(0, c.quality, c.size);
        ASSERT_TRUE(bytes) << (session.lastFailure() ? session.lastFailure()->description() : "no failure");
        auto file = session.output(0);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->filename(), EncodeSession::attemptFileName(0, c.format));
        EXPECT_EQ(fs::file_size(*file), std::uintmax_t(*bytes));
        EXPECT_EQ(decodedSize(*file), c.expected);
    }
}

TEST(Encoders, OneIntermediatePerSizeAndNothingLeftAfterTheSession) {
    fs::path workDir;
    {
        SourceImage source(corpus / "goexif-sample1.jpg");
        EncodeSession session(source, OutputFormat::webp, encoderFor(tools(), OutputFormat::webp, optionsFor(std::nullopt)));
        workDir = session.workDir();
        EXPECT_EQ(workDir.parent_path(), fs::temp_directory_path());
        EXPECT_TRUE(workDir.filename().string().starts_with("dorvex-"));
        EXPECT_EQ(workDir.filename().string().size(), 7u + 36u);

        auto big = session.encode(0, 80, std::nullopt);
        auto small = session.encode(1, 30, std::nullopt);
        ASSERT_TRUE(big && small);
        EXPECT_GT(*big, *small);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(workDir)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"attempt-0.webp", "attempt-1.webp", "src-500x375.png"}));
        EXPECT_FALSE(session.output(2));
    }
    EXPECT_FALSE(fs::exists(workDir));
}

// An emptied folder is not made again for the next job, but handed on under that job's own name.
TEST(WorkFolders, AnEmptiedFolderServesTheNextOneUnderItsOwnName) {
    const auto inode = [](const fs::path& p) {
        struct stat status{};
        return ::stat(p.c_str(), &status) == 0 ? status.st_ino : ino_t(0);
    };
    fs::path first;
    ino_t reused = 0;
    {
        WorkFolder work("dorvex-test-");
        work.create();
        first = work.path();
        reused = inode(first);
        std::ofstream(first / "attempt-0.png") << "bytes";
        fs::create_directories(first / "nested" / "deeper");
    }
    EXPECT_FALSE(fs::exists(first));
    WorkFolder next("dorvex-test-");
    next.create();
    EXPECT_NE(next.path(), first);
    EXPECT_TRUE(next.path().filename().string().starts_with("dorvex-test-"));
    EXPECT_EQ(inode(next.path()), reused);
    EXPECT_TRUE(fs::is_empty(next.path()));
    WorkFolder beside("dorvex-test-");  // while `next` is in use, a folder of its own
    beside.create();
    EXPECT_NE(inode(beside.path()), reused);
}

// Another user can neither enter a job's folder nor read what is in it: intermediates, and
// attempts written by us or by an external encoder (pngquant through a temporary file of its own).
TEST(WorkFolders, EverythingAJobWritesIsPrivate) {
    const std::tuple<OutputFormat, std::optional<Toolchain::Tool>, std::size_t> cases[] = {
        {OutputFormat::jpeg, Toolchain::Tool::cjpeg, 2},   // and a PPM intermediate
        {OutputFormat::png, Toolchain::Tool::pngquant, 2},  // and a PNG intermediate
        {OutputFormat::avif, std::nullopt, 1},              // the platform writer
    };
    for (const auto& [format, tool, files] : cases) {
        if (tool && !tools().path(*tool)) continue;  // not installed here
        SourceImage source(corpus / "goexif-sample1.jpg");
        EncodeSession session(source, format, encoderFor(tools(), format, optionsFor(format)));
        ASSERT_TRUE(session.encode(0, 30, PixelSize{100, 75}));
        EXPECT_EQ(fs::status(session.workDir()).permissions(), fs::perms(0700));
        ASSERT_EQ(dorvex::testing::namesIn(session.workDir()).size(), files);
        for (const auto& entry : fs::directory_iterator(session.workDir()))
            EXPECT_EQ(entry.status().permissions(), fs::perms(0600)) << entry.path();
    }
}

TEST(Encoders, RefusalsAreValuesWithTheirTexts) {
    // pngquant cannot reach 100-100 on a photograph: exit 99.
    {
        SourceImage source(corpus / "goexif-sample1.jpg");
        EncodeSession session(source, OutputFormat::png, encoderFor(tools(), OutputFormat::png, optionsFor(std::nullopt)));
        EXPECT_FALSE(session.encode(0, 95, std::nullopt));
        ASSERT_TRUE(session.lastFailure());
        EXPECT_EQ(session.lastFailure()->description(), "pngquant could not reach the minimum quality (exit 99)");
        EXPECT_FALSE(session.output(0));
        // A later success does not clear the failure.
        EXPECT_TRUE(session.encode(1, 40, PixelSize{100, 75}));
        EXPECT_TRUE(session.lastFailure());
    }
    // cjxl cannot transcode a four-channel (CMYK) JPEG losslessly.
    {
        TempDir temp;
        VipsRuntime::start();
        const fs::path cmyk = temp.path() / "cmyk.jpg";
        vips::VImage rgb = vips::VImage::new_from_file((corpus / "goexif-sample1.jpg").c_str());
        rgb.icc_export(vips::VImage::option()->set("output_profile", "cmyk"))
            .jpegsave(cmyk.c_str());
        SourceImage source(cmyk);
        ASSERT_TRUE(source.isJPEG());
        EncodeSession session(source, OutputFormat::jxl, encoderFor(tools(), OutputFormat::jxl, optionsFor(OutputFormat::jxl, true)));
        EXPECT_FALSE(session.encode(0, 74, std::nullopt));
        ASSERT_TRUE(session.lastFailure());
        const std::string text = session.lastFailure()->description();
        EXPECT_TRUE(text.starts_with("这张 JPEG 无法无损转成 JXL（")) << text;
        EXPECT_NE(text.find("channels"), std::string::npos) << text;
    }
    // A tool that exits non-zero is named by its file name, with its status and message.
    {
        TempDir temp;
        const fs::path fake = temp.path() / "cwebp";
        std::ofstream(fake) << "#!/bin/sh\necho '  cannot open input  ' >&2\nexit 3\n";
        fs::permissions(fake, fs::perms::owner_all);
        SourceImage source(corpus / "orientation_8.jpg");
        EncodeSession session(source, OutputFormat::webp, CWebPEncoder{fake.string()});
        EXPECT_FALSE(session.encode(0, 74, std::nullopt));
        EXPECT_EQ(session.lastFailure()->description(), "cwebp exited 3: cannot open input");
    }
}

namespace {

// A PNG chunk with its CRC-32.
std::string pngChunk(const std::string& type, const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : type + data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    const auto bigEndian = [](std::uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    return bigEndian(std::uint32_t(data.size())) + type + data + bigEndian(~crc);
}

}  // namespace

// pngquant and cwebp read a plain PNG source itself instead of an intermediate, and we decode it
// through libpng rather than libvips. That is only right while every reader sees the same pixels:
// the bytes must be those written from a file that is not plain (a private chunk makes one with
// the same pixels), and a file with colour information that tools apply and libvips does not
// still goes through an intermediate.
TEST(Encoders, PlainPNGsGoToTheirEncoderAsTheyAre) {
    TempDir temp;
    const std::string png = dorvex::testing::contents(corpus / "drawing-screenshot_color_palette.png");
    const std::size_t afterHeader = 8 + 12 + 13;  // RGBA, 8 bits, with sBIT and tEXt chunks
    const struct Case {
        const char* name;
        std::string chunk;
        bool plain;
    } cases[] = {
        {"as-is.png", "", true},
        {"private.png", pngChunk("prVt", "same pixels"), false},
        {"srgb.png", pngChunk("sRGB", std::string(1, '\0')), false},
        {"gamma.png", pngChunk("gAMA", std::string{'\0', '\x01', '\x86', '\xA0'}), false},
    };
    for (const OutputFormat format : {OutputFormat::png, OutputFormat::webp, OutputFormat::jpeg}) {
        std::map<std::string, std::string> written;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(format.rawValue()) + " from " + c.name);
            const fs::path file = temp / c.name;
            dorvex::testing::put(file, png.substr(0, afterHeader) + c.chunk + png.substr(afterHeader));
            SourceImage source(file);
            EXPECT_EQ(source.isPlainPNG, c.plain);
            EncodeSession session(source, format, encoderFor(tools(), format, optionsFor(format)));
            ASSERT_TRUE(session.encode(0, 74, std::nullopt));
            // The attempt, and the intermediate unless the source was plain (cjpeg reads PPM).
            const bool handedOver = c.plain && format != OutputFormat::jpeg;
            EXPECT_EQ(dorvex::testing::namesIn(session.workDir()).size(), handedOver ? 1u : 2u);
            written[c.name] = dorvex::testing::contents(*session.output(0));
        }
        EXPECT_EQ(written["as-is.png"], written["private.png"]) << format.rawValue();
    }
}

TEST(Encoders, LosslessJxlInputs) {
    TempDir temp;
    // Records the arguments it is given and writes a file, standing in for cjxl.
    const fs::path fake = temp.path() / "cjxl";
    const fs::path log = temp.path() / "args.txt";
    std::ofstream(fake) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << log.string() << "'\nprintf x > \"$2\"\n";
    fs::permissions(fake, fs::perms::owner_all);
    auto argumentsFor = [&](const fs::path& file) {
        SourceImage source(file);
        EncodeSession session(source, OutputFormat::jxl, CJXLEncoder{fake.string(), true});
        EXPECT_TRUE(session.encode(0, 10, PixelSize{1, 1}));  // quality and size are ignored
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return std::pair{lines, session.workDir()};
    };

    // A JPEG is transcoded from a copy that holds only the metadata kept (none by default).
    auto [jpegArgs, jpegDir] = argumentsFor(corpus / "goexif-sample1.jpg");
    EXPECT_EQ(jpegArgs, (std::vector<std::string>{(jpegDir / "src-stored.jpg").string(),
                                                  (jpegDir / "attempt-0.jxl").string(), "--lossless_jpeg=1", "--quiet"}));

    auto [pngArgs, pngDir] = argumentsFor(corpus / "city.png");
    ASSERT_EQ(pngArgs.size(), 11u);
    EXPECT_EQ(pngArgs[0], (corpus / "city.png").string());
    EXPECT_EQ(std::vector<std::string>(pngArgs.begin() + 2, pngArgs.end()),
              (std::vector<std::string>{"-d", "0", "-x", "strip=exif", "-x", "strip=xmp", "-x", "strip=jumbf", "--quiet"}));

    // Any other source goes through the upright full-size rendering.
    auto [tiffArgs, tiffDir] = argumentsFor(corpus / "Transparency-lzw.tif");
    EXPECT_EQ(tiffArgs[0], (tiffDir / "src-300x300.png").string());
}

TEST(Encoders, SelectionAndMissingTools) {
    Toolchain none;
    struct Case {
        OutputFormat format;
        const char* text;
    };
    const Case missing[] = {
        {OutputFormat::jpeg, "mozjpeg cjpeg not found (run scripts/setup, or set DORVEX_CJPEG)"},
        {OutputFormat::png, "pngquant not found (apt install pngquant, or set DORVEX_PNGQUANT)"},
        {OutputFormat::webp, "cwebp not found (apt install webp, or set DORVEX_CWEBP)"},
        {OutputFormat::jxl, "cjxl not found (apt install libjxl-tools, or set DORVEX_CJXL)"},
        {OutputFormat::mp4, "MP4 not found (videos are compressed by VideoCompressor)"},
        {OutputFormat::mov, "MOV not found (videos are compressed by VideoCompressor)"},
        {OutputFormat::pdf, "PDF not found (PDFs are compressed by PDFCompressor)"},
    };
    for (const auto& c : missing) {
        try {
            encoderFor(none, c.format, optionsFor(c.format));
            ADD_FAILURE() << c.format.rawValue();
        } catch (const ToolError& error) {
            EXPECT_EQ(error.kind, ToolError::Kind::encoderMissing);
            EXPECT_STREQ(error.what(), c.text);
        }
    }
    // The platform writer needs no tool.
    EXPECT_EQ(encoderFor(none, OutputFormat::avif, optionsFor(std::nullopt)),
              ImageEncoder(ImageIOEncoder{ImageIOEncoder::Lossy{OutputFormat::avif}}));
    CompressionOptions zip;
    zip.tiffCompression = TIFFCompression::zip;
    EXPECT_EQ(encoderFor(none, OutputFormat::tiff, zip), ImageEncoder(ImageIOEncoder{ImageIOEncoder::Tiff{TIFFCompression::zip}}));
    EXPECT_EQ(encoderFor(none, OutputFormat::icns, zip), ImageEncoder(ImageIOEncoder{ImageIOEncoder::Icns{}}));

    // Lossless JPEG XL only when JPEG XL is named explicitly.
    Toolchain withCjxl;
    withCjxl.cjxl = "/usr/bin/cjxl";
    EXPECT_EQ(encoderFor(withCjxl, OutputFormat::jxl, optionsFor(OutputFormat::jxl, true)),
              ImageEncoder(CJXLEncoder{"/usr/bin/cjxl", true}));
    EXPECT_EQ(encoderFor(withCjxl, OutputFormat::jxl, optionsFor(std::nullopt, true)),
              ImageEncoder(CJXLEncoder{"/usr/bin/cjxl", false}));
}

TEST(Encoders, ArgumentLists) {
    EXPECT_EQ(MozJPEGEncoder::arguments(74, "in.ppm", "out.jpg"),
              (std::vector<std::string>{"-quality", "74", "-quant-table", "3", "-progressive", "-optimize", "-outfile",
                                        "out.jpg", "in.ppm"}));
    EXPECT_EQ(PNGQuantEncoder::arguments(70, "in.png", "out.png"),
              (std::vector<std::string>{"--quality", "75-79", "--speed", "4", "--strip", "--force", "--output",
                                        "out.png", "in.png"}));
    EXPECT_EQ(PNGQuantEncoder::arguments(93, "i", "o")[1], "98-100");
    EXPECT_EQ(CWebPEncoder::arguments(74, "in.png", "out.webp"),
              (std::vector<std::string>{"-quiet", "-q", "74", "in.png", "-o", "out.webp"}));
    EXPECT_EQ(CJXLEncoder::lossyArguments(74, "in.png", "out.jxl"),
              (std::vector<std::string>{"in.png", "out.jxl", "-q", "74", "--quiet"}));
}

namespace {

std::vector<std::string> folderNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// Attempts whose encoder would get the same arguments are one encode: cwebp gets the same
// quality for 76 and 77; pngquant's window for 95 and above is 100-100.
TEST(Encoders, TheSameInputsAreEncodedOnce) {
    SourceImage source(corpus / "drawing-screenshot_color_palette.png");
    EncodeSession session(source, OutputFormat::webp, encoderFor(tools(), OutputFormat::webp, optionsFor(OutputFormat::webp)));
    const auto first = session.encode(1, 76, PixelSize{300, 219});
    const auto again = session.encode(2, 77, PixelSize{300, 219});
    const auto other = session.encode(3, 77, PixelSize{200, 146});
    ASSERT_TRUE(first && again && other);
    EXPECT_EQ(*again, *first);
    EXPECT_EQ(session.output(2), session.output(1));
    EXPECT_NE(session.output(3), session.output(1));
    EXPECT_FALSE(fs::exists(session.workDir() / EncodeSession::attemptFileName(2, OutputFormat::webp)));

    EncodeSession png(source, OutputFormat::png, encoderFor(tools(), OutputFormat::png, optionsFor(OutputFormat::png)));
    EXPECT_EQ(png.inputKey(95, std::nullopt), png.inputKey(100, source.pixelSize));
    EXPECT_NE(png.inputKey(94, std::nullopt), png.inputKey(95, std::nullopt));
}

// An encode started ahead is taken over by the attempt that asks for its inputs, with the very
// bytes a direct encode writes; the others are ended and leave no file.
TEST(Encoders, EncodesAheadAreTakenOverOrRemoved) {
    SourceImage direct(corpus / "goexif-sample1.jpg");
    EncodeSession reference(direct, OutputFormat::jpeg, encoderFor(tools(), OutputFormat::jpeg, optionsFor(OutputFormat::jpeg)));
    ASSERT_TRUE(reference.encode(1, 50, std::nullopt));

    fs::path workDir;
    {
        SourceImage source(corpus / "goexif-sample1.jpg");
        EncodeSession session(source, OutputFormat::jpeg, encoderFor(tools(), OutputFormat::jpeg, optionsFor(OutputFormat::jpeg)));
        workDir = session.workDir();
        EXPECT_FALSE(session.encodeAhead(50, std::nullopt)) << "no input written yet";
        ASSERT_TRUE(session.encode(0, 74, std::nullopt));
        EXPECT_FALSE(session.encodeAhead(50, PixelSize{250, 188})) << "no input at that size";
        EXPECT_TRUE(session.encodeAhead(50, std::nullopt));
        EXPECT_TRUE(session.encodeAhead(40, std::nullopt));
        EXPECT_TRUE(session.encodeAhead(74, std::nullopt)) << "made already";
        session.keepAhead({{50, std::nullopt}});

        const auto taken = session.encode(1, 50, std::nullopt);
        ASSERT_TRUE(taken);
        EXPECT_EQ(session.takenOver(), 1);
        EXPECT_EQ(session.output(1), workDir / "attempt-1.jpg");
        EXPECT_EQ(contents(workDir / "attempt-1.jpg"), contents(*reference.output(1)));

        EXPECT_TRUE(session.encodeAhead(30, std::nullopt));
        session.endAhead();
        EXPECT_EQ(session.runningAhead(), 0);
        EXPECT_EQ(folderNames(workDir), (std::vector<std::string>{"attempt-0.jpg", "attempt-1.jpg", "src-500x375.ppm"}));
        EXPECT_TRUE(session.encodeAhead(30, std::nullopt));  // left running: the session ends it
    }
    EXPECT_FALSE(fs::exists(workDir));
}

// With processors to spare, the search asks for the same attempts, keeps the same one and that
// attempt has the same bytes as when it runs alone; nothing started ahead is left behind.
TEST(Encoders, SearchingAheadChangesNoDecision) {
    struct Run {
        SizeTargetSearch::Outcome outcome;
        std::vector<std::pair<int, std::optional<PixelSize>>> asked;
        std::string kept;
        std::vector<std::string> left;
        int takenOver = 0;
    };
    const auto search = [](int spare) {
        SourceImage source(corpus / "goexif-sample1.jpg");
        EncodeSession session(source, OutputFormat::jpeg, encoderFor(tools(), OutputFormat::jpeg, optionsFor(OutputFormat::jpeg)));
        const std::int64_t first = session.encode(0, 74, std::nullopt).value();
        const SizeTargetSearch s{74, 30, first / 2, 74, first, source.pixelSize, true, SearchBudget::standard};
        Run run;
        run.outcome = SearchAhead::run(
            s, session,
            [&](int index, int quality, std::optional<PixelSize> size) {
                run.asked.emplace_back(quality, size);
                return session.encode(index, quality, size);
            },
            [] { return false; }, [spare] { return spare; });
        run.kept = contents(*session.output(run.outcome.chosen.index));
        run.left = folderNames(session.workDir());
        run.takenOver = session.takenOver();
        return run;
    };
    const Run alone = search(0);
    ASSERT_GE(alone.outcome.encodeCount, 3);
    for (int spare : {1, 2}) {
        SCOPED_TRACE(spare);
        const Run ahead = search(spare);
        EXPECT_EQ(ahead.outcome, alone.outcome);
        EXPECT_EQ(ahead.asked, alone.asked);
        EXPECT_EQ(ahead.kept, alone.kept);
        EXPECT_EQ(ahead.left, alone.left);
        if (spare == 2) {
            EXPECT_GE(ahead.takenOver, 1);
        }
    }
    EXPECT_EQ(alone.takenOver, 0);
}
