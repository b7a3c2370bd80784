#include <gtest/gtest.h>
#include "CompressionOptions.h"
#include "CompressionResult.h"
#include "CompressionEvent.h"
#include "QualityModel.h"
#include "FileUrl.h"
TEST(Build, Links) { EXPECT_EQ(dorvex::QualityModel::quality(3), 74); }
