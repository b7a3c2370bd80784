// What outputs keep of their source's metadata under each policy, format by format, through the
// real encoders, read back with libvips: a photo turned by its orientation tag, with EXIF (camera,
// dates, a GPS position), XMP and a wide-gamut ICC profile; and the XMP rule that takes every
// recorded place out of a packet, whatever its namespace.

#include "image/ImagePipeline.h"

#include "image/ImageMetadata.h"

#include <gtest/gtest.h>

#include <vips/vips8>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DorvexProcess.h"
#include "TestSupport.h"
#include "image/VipsRuntime.h"
#include "image/VipsBlob.h"
#include "image/VipsMetadata.h"
#include "image/encoders/MetadataWriter.h"

namespace dorvex {
namespace {

namespace fs = std::filesystem;
using namespace dorvex::testing;

[[maybe_unused]] auto* const testHome = ::testing::AddGlobalTestEnvironment(new TestHome("MetadataTest-"));

const Toolchain& tools() {
    static const Toolchain toolchain = Toolchain::locate(processEnvironment(), fs::path(DORVEX_RESOURCE_DIR) / "bin");
    return toolchain;
}

// What libvips reads back from a file.
struct Found {
    bool exif = false;
    bool gps = false;
    bool xmp = false;
    bool icc = false;
    std::string make;  // EXIF's camera maker, as libvips shows it ("NIKON CORPORATION (…, ASCII, …)")
    int orientation = 1;
};

Found readBack(const fs::path& file) {
    const vips::VImage image = vips::VImage::new_from_file(file.c_str());
    Found found;
    found.exif = image.get_typeof(VIPS_META_EXIF_NAME) != 0;
    found.xmp = image.get_typeof(VIPS_META_XMP_NAME) != 0;
    found.icc = image.get_typeof(VIPS_META_ICC_NAME) != 0;
    if (image.get_typeof("orientation") == G_TYPE_INT) found.orientation = image.get_int("orientation");
    const std::unique_ptr<gchar*, decltype(&g_strfreev)> fields(vips_image_get_fields(image.get_image()), &g_strfreev);
    for (gchar** field = fields.get(); *field != nullptr; ++field) {
        const std::string_view name(*field);
        if (name.starts_with("exif-ifd3-")) found.gps = true;  // libvips names the GPS directory ifd3
        if (name == "exif-ifd0-Make") found.make = image.get_string(*field);
    }
    return found;
}

// What each output format holds of the metadata, as libvips 8.14 writes and reads it.
struct FormatCase {
    OutputFormat format;
    bool exif;
    bool xmp;
    bool icc;
};

constexpr FormatCase formats[] = {
    {OutputFormat::jpeg, true, true, true},  {OutputFormat::png, true, true, true},
    {OutputFormat::webp, true, true, true},  {OutputFormat::avif, true, false, true},
    {OutputFormat::heic, true, false, true}, {OutputFormat::jxl, false, false, true},
    {OutputFormat::tiff, false, true, true},
};

class MetadataTest : public ::testing::Test {
protected:
    void SetUp() override {
        VipsRuntime::start();
        folder_ = makeTemporaryFolder(TestHome::root(), "job-");
        // Stored sideways (orientation 6) with the Display P3 profile, beside the sample's own
        // EXIF (NIKON, GPS) and XMP.
        source_ = folder_ / "photo.jpg";
        vips::VImage photo = vips::VImage::new_from_file(testMedia("images/goexif-sample1.jpg").c_str()).copy();
        photo.set("orientation", 6);
        const auto p3 = blobBytes(vips::VImage::profile_load("p3"));
        vips_image_set_blob_copy(photo.get_image(), VIPS_META_ICC_NAME, p3.data(), p3.size());
        photo.jpegsave(source_.c_str(), vips::VImage::option()->set("Q", 95));
    }

    CompressionResult run(OutputFormat format, MetadataPolicy policy, std::optional<std::int64_t> maxBytes = {},
                          bool jxlLossless = false) {
        CompressionOptions o;
        o.jxlLossless = jxlLossless;
        o.format = format;
        o.metadata = policy;
        o.maxBytes = maxBytes;
        o.saveLocation = SaveLocation::folder(folder_ / ("out-" + std::to_string(int(policy))));
        return ImagePipeline::run(source_, o, tools(), nullptr, nullptr);
    }

    fs::path folder_;
    fs::path source_;
};

TEST_F(MetadataTest, EachPolicyInEveryFormat) {
    const Found source = readBack(source_);
    ASSERT_TRUE(source.exif && source.gps && source.xmp && source.icc);
    ASSERT_EQ(source.orientation, 6);

    for (const FormatCase& c : formats) {
        SCOPED_TRACE(std::string(c.format.displayName()));
        for (const MetadataPolicy policy :
             {MetadataPolicy::strip, MetadataPolicy::keepWithoutLocation, MetadataPolicy::keepAll}) {
            SCOPED_TRACE(int(policy));
            const CompressionResult r = run(c.format, policy);
            ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
            ASSERT_TRUE(r.output);
            EXPECT_EQ(r.outputBytes, std::int64_t(fs::file_size(*r.output)));
            const Found out = readBack(*r.output);
            const bool keeps = policy != MetadataPolicy::strip;
            // TIFF stores the pixels as read, so its pages keep their profile and orientation.
            const bool storedAsRead = c.format == OutputFormat::tiff;
            EXPECT_EQ(out.exif, keeps && c.exif);
            EXPECT_EQ(out.gps, policy == MetadataPolicy::keepAll && c.exif);
            EXPECT_EQ(out.xmp, keeps && c.xmp);
            // The pixels stay Display P3, so its profile goes with them under every policy.
            if (c.format != OutputFormat::jxl) {
                EXPECT_EQ(out.icc, c.icc);
            }
            if (out.exif) {
                EXPECT_TRUE(out.make.starts_with("NIKON CORPORATION")) << out.make;
            }
            EXPECT_EQ(out.orientation, storedAsRead ? 6 : 1);
        }
    }
}

TEST_F(MetadataTest, TheByteLimitCountsTheMetadata) {
    for (const OutputFormat format : {OutputFormat::jpeg, OutputFormat::png, OutputFormat::webp}) {
        SCOPED_TRACE(std::string(format.displayName()));
        const std::int64_t limit = 30000;
        const CompressionResult r = run(format, MetadataPolicy::keepAll, limit);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        ASSERT_TRUE(r.output);
        EXPECT_EQ(r.outputBytes, std::int64_t(fs::file_size(*r.output)));
        EXPECT_LE(r.outputBytes, limit);
        EXPECT_TRUE(readBack(*r.output).gps);
    }
}

TEST_F(MetadataTest, ALosslessJpegXlOfAJpegKeepsOnlyWhatThePolicyKeeps) {
    // The transcoding keeps what the JPEG it reads holds; djxl gives that JPEG back, where libvips
    // reads its metadata. The pixels are stored sideways in their own profile, so the orientation
    // and the profile stay under every policy.
    if (std::system("djxl --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "djxl is not installed";
    for (const MetadataPolicy policy :
         {MetadataPolicy::strip, MetadataPolicy::keepWithoutLocation, MetadataPolicy::keepAll}) {
        SCOPED_TRACE(int(policy));
        const CompressionResult r = run(OutputFormat::jxl, policy, std::nullopt, true);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        ASSERT_TRUE(r.output);
        const fs::path jpeg = folder_ / "reconstructed.jpg";
        ASSERT_EQ(std::system(("djxl '" + r.output->string() + "' '" + jpeg.string() + "' --quiet").c_str()), 0);
        const Found out = readBack(jpeg);
        const bool keeps = policy != MetadataPolicy::strip;
        EXPECT_EQ(out.orientation, 6);
        EXPECT_TRUE(out.icc);
        EXPECT_EQ(out.make.empty(), !keeps);
        EXPECT_EQ(out.xmp, keeps);
        EXPECT_EQ(out.gps, policy == MetadataPolicy::keepAll);
    }
}

TEST_F(MetadataTest, TheCommandKeepsMetadataWhenAsked) {
    // --keep-metadata keeps the camera without the position; --keep-location keeps both.
    const std::pair<std::string, bool> runs[] = {{"--keep-metadata", false}, {"--keep-location", true}};
    for (const auto& [flag, gps] : runs) {
        SCOPED_TRACE(flag);
        const fs::path out = folder_ / ("cli" + flag);
        const DorvexOutcome outcome =
            DorvexProcess(folder_ / "process", {flag, "-f", "webp", "-o", out.string(), source_.string()}).finish();
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const Found found = readBack(out / "photo-min.webp");
        EXPECT_TRUE(found.make.starts_with("NIKON CORPORATION"));
        EXPECT_EQ(found.gps, gps);
        EXPECT_EQ(found.orientation, 1);
    }
}

// ---- XMP without a position ----------------------------------------------------------------

ImageMetadata::Bytes bytesOf(std::string_view text) { return ImageMetadata::Bytes(text.begin(), text.end()); }

constexpr std::string_view xmpHead =
    R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">)"
    R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)";
constexpr std::string_view xmpTail = R"(</rdf:RDF></x:xmpmeta><?xpacket end="w"?>)";

std::string packet(std::string_view body) { return std::string(xmpHead) + std::string(body) + std::string(xmpTail); }

// What a DJI drone writes, with the EXIF namespace's destination beside it.
const std::string droneXmp = packet(
    R"(<rdf:Description rdf:about="" xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/")"
    R"( xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:exif="http://ns.adobe.com/exif/1.0/")"
    R"( drone-dji:GpsLatitude="22.5423" drone-dji:GpsLongtitude="113.9531")"
    R"( drone-dji:AbsoluteAltitude="+80.10" drone-dji:RelativeAltitude="+40.00" drone-dji:FlightYawDegree="+12.3">)"
    R"(<dc:creator><rdf:Seq><rdf:li>Pilot</rdf:li></rdf:Seq></dc:creator>)"
    R"(<exif:GPSDestLatitude>22,32.5N</exif:GPSDestLatitude></rdf:Description>)");

TEST(XmpPositionTest, EveryPlaceGoesWhateverItsNamespaceAndTheRestStays) {
    const struct {
        const char* what;
        std::string in;
        std::string out;  // empty: the packet is left out
    } cases[] = {
        {"indented elements, a place structure and an empty element",
         packet("<rdf:Description xmlns:e=\"x\" xmlns:p=\"y\">\n  <e:GPSLatitude>1</e:GPSLatitude>\n"
                "  <e:LocationShown><rdf:Bag><rdf:li e:City=\"Oslo\"/></rdf:Bag></e:LocationShown>\n"
                "  <p:city>Oslo</p:city>\n  <e:GPSAltitude/>\n  <p:Headline a=\"&quot;&#10;&lt;\">Hi</p:Headline>\n"
                "</rdf:Description>"),
         packet("<rdf:Description xmlns:e=\"x\" xmlns:p=\"y\">\n  <p:Headline a=\"&quot;&#10;&lt;\">Hi</p:Headline>\n"
                "</rdf:Description>")},
        {"a self-closing description, a prefix named gps, nothing to drop nearby",
         packet(R"(<rdf:Description xmlns:gps="z" gps:Latitude="1" gps:Rating='5' dc:title="a &amp; b"/>)"),
         packet(R"(<rdf:Description xmlns:gps="z" gps:Rating="5" dc:title="a &amp; b"/>)")},
        {"a terminating zero is kept", packet("") + std::string(1, '\0'), packet("") + std::string(1, '\0')},
        {"a document type", "<!DOCTYPE x [<!ENTITY e \"1\">]>" + packet("<rdf:Description/>"), ""},
        {"not well-formed", packet("<rdf:Description>"), ""},
        {"the packet itself is a place", "<Location>here</Location>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ImageMetadata::Bytes kept = ImageMetadataRules::xmp(bytesOf(c.in), MetadataPolicy::keepWithoutLocation);
        EXPECT_EQ(std::string(kept.begin(), kept.end()), c.out);
    }
}

TEST_F(MetadataTest, NoPositionOfADronesXmpReachesAnOutput) {
    vips::VImage photo = vips::VImage::new_from_file(source_.c_str()).copy();
    vips_image_set_blob_copy(photo.get_image(), VIPS_META_XMP_NAME, droneXmp.data(), droneXmp.size());
    source_ = folder_ / "drone.jpg";
    photo.jpegsave(source_.c_str(), vips::VImage::option()->set("Q", 95));

    std::vector<std::pair<OutputFormat, bool>> outputs;  // and whether a JPEG XL is lossless
    for (const FormatCase& c : formats) {
        if (c.xmp) outputs.emplace_back(c.format, false);
    }
    if (std::system("djxl --version > /dev/null 2>&1") == 0) outputs.emplace_back(OutputFormat::jxl, true);
    for (const auto& [format, lossless] : outputs) {
        SCOPED_TRACE(std::string(format.displayName()));
        const CompressionResult r = run(format, MetadataPolicy::keepWithoutLocation, std::nullopt, lossless);
        ASSERT_TRUE(r.isSuccess()) << (r.failed() ? r.failed()->message : "skipped");
        ASSERT_TRUE(r.output);
        fs::path file = *r.output;
        if (lossless) {  // djxl gives the JPEG back, with what the transcoding kept
            file = folder_ / "reconstructed.jpg";
            ASSERT_EQ(std::system(("djxl '" + r.output->string() + "' '" + file.string() + "' --quiet").c_str()), 0);
        }
        const vips::VImage out = vips::VImage::new_from_file(file.c_str());
        const auto xmp = blobField(out, VIPS_META_XMP_NAME);
        const std::string text(xmp.begin(), xmp.end());
        EXPECT_NE(text.find("<rdf:li>Pilot</rdf:li>"), std::string::npos) << text;
        EXPECT_NE(text.find("FlightYawDegree"), std::string::npos) << text;
        for (const char* gone : {"Gps", "GPS", "Altitude", "22.5423", "22,32.5N"}) {
            EXPECT_EQ(text.find(gone), std::string::npos) << gone << " in " << text;
        }
    }
}


// The chunks of a PNG file by type, in order, each with its data.
std::vector<std::pair<std::string, std::string>> pngChunks(const fs::path& file) {
    const std::string bytes = contents(file);
    std::vector<std::pair<std::string, std::string>> chunks;
    for (std::size_t at = 8; at + 12 <= bytes.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        const std::size_t length = std::size_t(p[0]) << 24 | std::size_t(p[1]) << 16 | std::size_t(p[2]) << 8 | p[3];
        chunks.emplace_back(bytes.substr(at + 4, 4), bytes.substr(at + 8, length));
        at += length + 12;
    }
    return chunks;
}

TEST_F(MetadataTest, APngGetsItsMetadataWithItsImageDataUntouched) {
    // An encoder's palette PNG with gamma and sRGB chunks: the profile replaces them, the metadata
    // goes after IHDR, and PLTE, tRNS and IDAT stay byte for byte.
    const fs::path png = folder_ / "quantised.png";
    ASSERT_EQ(std::system(("pngquant --quality 60-80 --strip --force --output '" + png.string() + "' '" +
                           testMedia("images/city.png").string() + "'").c_str()), 0);
    const auto before = pngChunks(png);
    const vips::VImage photo = vips::VImage::new_from_file(source_.c_str());
    ImageMetadata metadata;
    metadata.exif = blobField(photo, VIPS_META_EXIF_NAME);
    metadata.xmp = blobField(photo, VIPS_META_XMP_NAME);
    metadata.icc = blobField(photo, VIPS_META_ICC_NAME);
    ASSERT_TRUE(!metadata.exif.empty() && !metadata.xmp.empty() && !metadata.icc.empty());
    ASSERT_TRUE(MetadataWriter::add(png, OutputFormat::png, metadata));

    const auto after = pngChunks(png);
    std::vector<std::string> types;
    for (const auto& [type, data] : after) types.push_back(type);
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 4),
              (std::vector<std::string>{"IHDR", "iCCP", "eXIf", "iTXt"}));
    std::vector<std::pair<std::string, std::string>> image, imageBefore;
    for (const auto& chunk : after) if (chunk.first == "PLTE" || chunk.first == "tRNS" || chunk.first == "IDAT") image.push_back(chunk);
    for (const auto& chunk : before) if (chunk.first == "PLTE" || chunk.first == "tRNS" || chunk.first == "IDAT") imageBefore.push_back(chunk);
    EXPECT_EQ(image, imageBefore);
    for (const char* gone : {"gAMA", "sRGB"}) EXPECT_EQ(std::count(types.begin(), types.end(), gone), 0) << gone;
    const Found out = readBack(png);
    EXPECT_TRUE(out.exif && out.gps && out.xmp && out.icc);

    // Anything but a PNG that starts with IHDR is refused and left as it was.
    const fs::path broken = folder_ / "broken.png";
    const std::string brokenBytes = contents(png).substr(0, 8) + std::string("\0\0\0\4IDAT", 8);
    std::ofstream(broken, std::ios::binary) << brokenBytes;
    EXPECT_FALSE(MetadataWriter::add(broken, OutputFormat::png, metadata));
    EXPECT_EQ(contents(broken), brokenBytes);
}

}  // namespace
}  // namespace dorvex
