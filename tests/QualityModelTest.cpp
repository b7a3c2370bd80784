// The level scale and the per-format search profiles: the engine's tuning table.

#include <gtest/gtest.h>

#include "dorvex/model/FormatProfile.h"
#include "dorvex/model/QualityModel.h"

using namespace dorvex;

TEST(QualityModel, QualityOfLevels) {
    struct Case {
        double level;
        int quality;
    };
    const Case cases[] = {{1, 94}, {2, 84}, {3, 74}, {4, 64}, {5, 54}, {6, 44},
                          {0.4, 100}, {2.5, 79}, {0.5, 99}, {12, -16}, {3.99, 64}, {-1, 114}};
    for (const auto& c : cases) EXPECT_EQ(QualityModel::quality(c.level), c.quality) << c.level;
    // The whole steps agree with the table the interface shows.
    for (const auto& step : QualityModel::steps) {
        EXPECT_EQ(QualityModel::quality(step.level), step.nominalQuality);
    }
}

TEST(QualityModel, NamesAndHintsRoundThenClamp) {
    struct Case {
        double level;
        const char* name;
    };
    const Case cases[] = {{1, "最佳"}, {1.49, "最佳"}, {1.5, "高"}, {3, "平衡"}, {4.5, "小"},
                          {6, "最小"}, {12, "最小"}, {0, "最佳"}, {-7, "最佳"}};
    for (const auto& c : cases) EXPECT_EQ(QualityModel::name(c.level), c.name) << c.level;
    EXPECT_EQ(QualityModel::hint(3), "画质和体积兼顾，日常推荐");
    EXPECT_EQ(QualityModel::hint(99), "体积优先，适合预览图");
}

TEST(QualityModel, PngQualityRange) {
    struct Case {
        int quality;
        int minimum, maximum;
    };
    const Case cases[] = {{74, 79, 83}, {70, 75, 79}, {93, 98, 100}, {95, 100, 100},
                          {-20, 0, 0}, {-7, 0, 2}, {0, 5, 9}};
    for (const auto& c : cases) {
        EXPECT_EQ(QualityModel::pngQualityRange(c.quality), (QualityModel::QualityRange{c.minimum, c.maximum}))
            << c.quality;
    }
}

TEST(FormatProfile, CeilingNeverAboveTheLevelNorTheFormat) {
    const auto jxl = FormatProfile::of(OutputFormat::jxl, false);
    EXPECT_EQ(jxl.ceiling(QualityModel::quality(1)), 94);
    EXPECT_EQ(jxl.ceiling(QualityModel::quality(0.5)), 94);
    EXPECT_EQ(jxl.ceiling(54), 54);
    const auto png = FormatProfile::of(OutputFormat::png, false);
    EXPECT_EQ(png.ceiling(QualityModel::quality(6)), 44);
    EXPECT_EQ(png.floorQuality, 10);
}

TEST(FormatProfile, EncoderQualityRisesWithTheLevelScaleAndKeepsItsEnds) {
    // The formats whose encoders have a scale of their own: over the whole nominal range the
    // encoder's quality never falls as the nominal one rises, stays in 0…100, tells the six levels
    // apart, keeps 100 as the best, and holds the ends for nominal qualities beyond them.
    for (OutputFormat format : {OutputFormat::webp, OutputFormat::avif, OutputFormat::heic, OutputFormat::jxl}) {
        SCOPED_TRACE(format.rawValue());
        int previous = FormatProfile::encoderQuality(format, 0);
        EXPECT_GE(previous, 0);
        for (int nominal = 1; nominal <= 100; ++nominal) {
            const int encoder = FormatProfile::encoderQuality(format, nominal);
            EXPECT_GE(encoder, previous) << nominal;
            previous = encoder;
        }
        EXPECT_EQ(previous, 100);
        int lastLevel = 101;
        for (const auto& step : QualityModel::steps) {
            const int encoder = FormatProfile::encoderQuality(format, step.nominalQuality);
            EXPECT_LT(encoder, lastLevel) << step.level;
            EXPECT_GE(encoder, 10) << step.level;
            lastLevel = encoder;
        }
        EXPECT_EQ(FormatProfile::encoderQuality(format, 114), 100);
        EXPECT_EQ(FormatProfile::encoderQuality(format, -16), FormatProfile::encoderQuality(format, 0));
    }
    // JPEG is the reference and PNG's quantizer has its own window: both take the nominal quality.
    for (int nominal : {-16, 0, 44, 74, 94, 114}) {
        EXPECT_EQ(FormatProfile::encoderQuality(OutputFormat::jpeg, nominal), nominal);
        EXPECT_EQ(FormatProfile::encoderQuality(OutputFormat::png, nominal), nominal);
    }
}
