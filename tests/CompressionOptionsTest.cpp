// The stored JSON form of a job's options: what older files must still load as, what is written,
// and what is refused.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/FileUrl.h"
#include "dorvex/model/JsonCoding.h"
#include "dorvex/model/QualityModel.h"

using namespace dorvex;
using json::Json;

namespace {

DecodingError decodeError(const std::string& text) {
    try {
        parseCompressionOptions(text);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoding succeeded: " << text;
    return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

CompressionOptions fullOptions() {
    CompressionOptions o;
    o.level = 2.5;
    o.format = OutputFormat::webp;
    o.maxBytes = 200000;
    o.keepDimensions = true;
    o.saveLocation = SaveLocation::folder("/tmp/Out Folder/图片 ü", "_small");
    o.jxlLossless = true;
    o.tiffCompression = TIFFCompression::zip;
    o.videoCodec = VideoCodec::h264;
    o.videoMaxBytes = 5'000'000;
    o.filenamePrefix = "web-";
    o.metadata = MetadataPolicy::keepAll;
    return o;
}

}  // namespace

TEST(CompressionOptionsJson, MinimalObjectTakesEveryDefault) {
    auto o = parseCompressionOptions(R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}}})");
    EXPECT_EQ(o.level, 3);
    EXPECT_EQ(o.format, std::nullopt);
    EXPECT_EQ(o.maxBytes, std::nullopt);
    EXPECT_FALSE(o.keepDimensions);
    EXPECT_EQ(o.saveLocation, SaveLocation::overwrite());
    EXPECT_FALSE(o.jxlLossless);
    EXPECT_EQ(o.tiffCompression, TIFFCompression::lzw);
    EXPECT_EQ(o.videoCodec, VideoCodec::hevc);
    EXPECT_EQ(o.videoMaxBytes, std::nullopt);
    EXPECT_EQ(o.filenamePrefix, "");
    EXPECT_EQ(o.quality(), 74);
}

TEST(CompressionOptionsJson, RequiredKeysAndWrongTypesFail) {
    struct Case {
        const char* text;
        DecodingError::Kind kind;
    };
    const Case cases[] = {
        {R"({"keepDimensions":false,"saveLocation":{"overwrite":{}}})", DecodingError::Kind::keyNotFound},
        {R"({"level":3,"saveLocation":{"overwrite":{}}})", DecodingError::Kind::keyNotFound},
        {R"({"level":3,"keepDimensions":false})", DecodingError::Kind::keyNotFound},
        {R"({"level":"3","keepDimensions":false,"saveLocation":{"overwrite":{}}})", DecodingError::Kind::typeMismatch},
        {R"({"level":3,"keepDimensions":0,"saveLocation":{"overwrite":{}}})", DecodingError::Kind::typeMismatch},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"jxlLossless":"yes"})",
         DecodingError::Kind::typeMismatch},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"maxBytes":1.5})",
         DecodingError::Kind::dataCorrupted},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"format":"gif"})",
         DecodingError::Kind::dataCorrupted},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"tiffCompression":"LZW"})",
         DecodingError::Kind::dataCorrupted},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"filenamePrefix":7})",
         DecodingError::Kind::typeMismatch},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"overwrite":{}},"keepMetadata":"gps"})",
         DecodingError::Kind::dataCorrupted},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"sourceFolder":{}}})", DecodingError::Kind::keyNotFound},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"folder":{"suffix":"-min"}}})",
         DecodingError::Kind::keyNotFound},
        {R"({"level":3,"keepDimensions":false,"saveLocation":{"folder":{"_0":"http://x/y/","suffix":""}}})",
         DecodingError::Kind::dataCorrupted},
        {R"([3, false])", DecodingError::Kind::typeMismatch},
        {R"({"level":3,)", DecodingError::Kind::dataCorrupted},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeError(c.text).kind, c.kind) << c.text;
    }
    // A missing required key names its path.
    EXPECT_EQ(decodeError(R"({"level":3,"keepDimensions":false,"saveLocation":{"sourceFolder":{}}})").codingPath,
              "saveLocation.sourceFolder.suffix");
}

TEST(CompressionOptionsJson, SaveLocationNeedsExactlyOneCaseKey) {
    const char* bad[] = {
        R"({})",
        R"({"overwrite":{},"folder":{"_0":"file:///tmp/","suffix":""}})",
        R"({"somethingElse":{}})",
    };
    for (const char* text : bad) {
        try {
            decodeSaveLocation(Json::parse(text));
            ADD_FAILURE() << text;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::typeMismatch);
            EXPECT_STREQ(error.what(), "Invalid number of keys found, expected one.");
        }
    }
    // Keys that are not case names are ignored.
    EXPECT_EQ(decodeSaveLocation(Json::parse(R"({"overwrite":{},"note":1})")), SaveLocation::overwrite());
}

TEST(CompressionOptionsJson, WritesKeysInOrderAndNoNulls) {
    CompressionOptions o;
    o.level = 4;
    o.saveLocation = SaveLocation::sourceFolder();
    EXPECT_EQ(Json(o).dump(),
              R"({"level":4.0,"keepDimensions":false,"saveLocation":{"sourceFolder":{"suffix":"-min"}},)"
              R"("jxlLossless":false,"tiffCompression":"lzw","videoCodec":"hevc","filenamePrefix":""})");

    Json full = fullOptions();
    std::vector<std::string> keys;
    for (const auto& item : full.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"level", "format", "maxBytes", "keepDimensions", "saveLocation",
                                              "jxlLossless", "tiffCompression", "videoCodec", "videoMaxBytes",
                                              "filenamePrefix", "keepMetadata"}));
    EXPECT_EQ(full["keepMetadata"], "all");
    EXPECT_EQ(full["format"], "webp");
    EXPECT_EQ(full["tiffCompression"], "zip");
    EXPECT_EQ(full["videoCodec"], "h264");
}

TEST(CompressionOptionsJson, RoundTripsEveryField) {
    const CompressionOptions o = fullOptions();
    EXPECT_EQ(parseCompressionOptions(Json(o).dump()), o);
    EXPECT_EQ(std::hash<CompressionOptions>()(parseCompressionOptions(Json(o).dump())),
              std::hash<CompressionOptions>()(o));

    for (auto location : {SaveLocation::sourceFolder(""), SaveLocation::overwrite(),
                          SaveLocation::folder("/", "-min"), SaveLocation::folder("/a/b", "x")}) {
        EXPECT_EQ(decodeSaveLocation(Json(location)), location);
    }
}

TEST(CompressionOptionsJson, FolderIsAPercentEncodedDirectoryUrl) {
    Json j = SaveLocation::folder("/home/me/My Photos/相册 #1", "-min");
    EXPECT_EQ(j.dump(),
              R"({"folder":{"_0":"file:///home/me/My%20Photos/%E7%9B%B8%E5%86%8C%20%231/","suffix":"-min"}})");

    struct Case {
        std::string_view url;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"file:///tmp/a%20b/", "/tmp/a b"},
        {"file://localhost/tmp/x/", "/tmp/x"},
        {"FILE:///tmp/x", "/tmp/x"},
        {"file:///", "/"},
        {"file:///tmp/100%25", "/tmp/100%"},
        {"file://server/share/", std::nullopt},
        {"file:///tmp/%zz/", std::nullopt},
        {"file:///tmp/%00/", std::nullopt},
        {std::string_view("file:///tmp/a\0/etc", 18), std::nullopt},  // would name /tmp/a
        {"file:///tmp/x?y", std::nullopt},
        {"https://example/x/", std::nullopt},
        {"tmp/x", std::nullopt},
    };
    for (const auto& c : cases) {
        auto path = FileUrl::toPath(c.url);
        EXPECT_EQ(path ? std::optional<std::string>(path->string()) : std::nullopt, c.path) << c.url;
    }

    // Every byte a Linux file name may hold survives the round trip.
    std::string name = "/tmp/";
    for (int c = 1; c < 256; ++c) {
        if (c != '/') name += char(c);
    }
    EXPECT_EQ(FileUrl::toPath(FileUrl::fromPath(name, FileUrl::Kind::directory)), std::filesystem::path(name));
}

TEST(CompressionOptionsLevel, UnusableLevelsAreRefusedBeforeAnyQuality) {
    const double unusable[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), 1e12, -1e12};
    for (double level : unusable) {
        EXPECT_FALSE(QualityModel::isUsableLevel(level)) << level;
        CompressionOptions o;
        o.level = level;
        EXPECT_THROW(o.quality(), InvalidLevelError) << level;
    }
    // Stored levels outside 1…6 are still levels.
    for (double level : {0.4, 12.0, -3.0}) EXPECT_TRUE(QualityModel::isUsableLevel(level));

    // JSON cannot spell NaN, and numbers too large for a double are refused by the parser; a
    // finite level whose quality overflows is refused by the decoder.
    EXPECT_EQ(decodeError(R"({"level":1e999,"keepDimensions":false,"saveLocation":{"overwrite":{}}})").kind,
              DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(decodeError(R"({"level":NaN,"keepDimensions":false,"saveLocation":{"overwrite":{}}})").kind,
              DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(decodeError(R"({"level":1e300,"keepDimensions":false,"saveLocation":{"overwrite":{}}})").codingPath,
              "level");
}

TEST(CompressionOptions, LosslessJxlOnlyWithExplicitJxl) {
    CompressionOptions o;
    o.jxlLossless = true;
    EXPECT_FALSE(o.usesLosslessJXL());
    o.format = OutputFormat::png;
    EXPECT_FALSE(o.usesLosslessJXL());
    o.format = OutputFormat::jxl;
    EXPECT_TRUE(o.usesLosslessJXL());
    o.jxlLossless = false;
    EXPECT_FALSE(o.usesLosslessJXL());
}

TEST(CompressionOptions, EqualityAndHashCoverEveryField) {
    const CompressionOptions base = fullOptions();
    std::vector<CompressionOptions> variants(11, base);
    variants[0].level = 2;
    variants[1].format = std::nullopt;
    variants[2].maxBytes = 1;
    variants[3].keepDimensions = false;
    variants[4].saveLocation = SaveLocation::folder("/tmp/Out Folder/图片 ü", "_SMALL");
    variants[5].jxlLossless = false;
    variants[6].tiffCompression = TIFFCompression::lzw;
    variants[7].videoCodec = VideoCodec::hevc;
    variants[8].videoMaxBytes = std::nullopt;
    variants[9].filenamePrefix = "";
    variants[10].metadata = MetadataPolicy::keepWithoutLocation;
    std::unordered_set<CompressionOptions> set{base};
    for (const auto& v : variants) {
        EXPECT_NE(v, base);
        set.insert(v);
    }
    EXPECT_EQ(set.size(), 12u);
}
