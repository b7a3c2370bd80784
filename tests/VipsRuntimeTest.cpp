// libvips as the engine starts it: the loaders we read with are there, the modules of formats we
// refuse are never loaded, the variable that holds them back is gone again, and libheif's decoders
// outlive whatever else in the process starts and ends libheif.

#include <gtest/gtest.h>

#include <vips/vips.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "TestSupport.h"
#include "dorvex/engine/LibraryVersions.h"
#include "dorvex/engine/ThumbnailLoader.h"
#include "image/VipsRuntime.h"

namespace {

// Whether the environment this process was started with names VIPSHOME (as the kernel keeps it,
// whatever the process changed since).
bool startedWithVipsHome() {
    std::ifstream in("/proc/self/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return environment.rfind("VIPSHOME=", 0) == 0 ||
           environment.find(std::string("\0VIPSHOME=", 10)) != std::string::npos;
}

struct LoaderCase {
    const char* loader;
    bool registered;
};

TEST(VipsRuntimeTest, RegistersOurLoadersAndNoneOfTheRefusedModules) {
    dorvex::VipsRuntime::start();
    // A VIPSHOME of the user's own is followed, with whatever modules it holds.
    if (startedWithVipsHome()) GTEST_SKIP() << "VIPSHOME is set";
    EXPECT_EQ(std::getenv("VIPSHOME"), nullptr);
    const LoaderCase cases[] = {
        {"jpegload_source", true}, {"pngload_source", true}, {"webpload_source", true},
        {"tiffload_source", true}, {"heifload_source", true}, {"jxlload_source", true},
        {"magickload", false},     {"pdfload", false},       {"openslideload", false},
    };
    for (const LoaderCase& c : cases) {
        EXPECT_EQ(vips_type_find("VipsForeignLoad", c.loader) != 0, c.registered) << c.loader;
    }
}

// Listing the library versions starts and ends libheif; AVIF and HEIC must still decode after it.
TEST(VipsRuntimeTest, HeifPicturesDecodeAfterTheLibraryVersionsAreListed) {
    dorvex::VipsRuntime::start();
    static_cast<void>(dorvex::LibraryVersions::all());
    for (const char* name : {"images/conv-friends_by_Aitzol_Berasategi.heic", "images/sdl2-sample.avif"}) {
        EXPECT_TRUE(dorvex::ThumbnailLoader::load(dorvex::testing::testMedia(name), 64).has_value()) << name;
    }
}

}  // namespace
