// Size, time and fidelity of AVIF and HEIC per encoder effort at Q 74 (the nominal quality of
// level 3) on a few corpus photos, the figures behind PlatformWriter::avifEffort. Each effort is
// compared with libvips' default (4) in the same run.
//
//   HeifEffortBench [photo …]      default: three corpus photos of 0.2 to 1.8 MP
//
// It needs the libvips headers; without them it builds to a stub that says so.

#if __has_include(<vips/vips8>) && __has_include(<glib-object.h>)

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "VipsPicture.h"
#include "VipsRuntime.h"
#include "encoders/PlatformWriter.h"

// scripts/bench runs benchmarks from the repository's root, beside the shared corpus.
#ifndef DORVEX_CORPUS_DIR
#define DORVEX_CORPUS_DIR "../shared/corpus"
#endif

namespace fs = std::filesystem;
using dorvex::OutputFormat;
using vips::VImage;

namespace {

constexpr int quality = 74;
constexpr int referenceEffort = 4;

// The photo as the engine hands it over: upright 8-bit sRGB with alpha.
dorvex::Picture loadPicture(const fs::path& file) {
    VImage image = VImage::new_from_file(file.c_str()).autorot().colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.bands() == 3) image = image.bandjoin_const({255.0});
    return dorvex::makePicture(image.copy_memory());
}

// PSNR in dB over R, G and B.
double psnr(const VImage& reference, const VImage& decoded) {
    const VImage rgbA = reference.extract_band(0, VImage::option()->set("n", 3)).cast(VIPS_FORMAT_DOUBLE);
    const VImage rgbB = decoded.extract_band(0, VImage::option()->set("n", 3)).cast(VIPS_FORMAT_DOUBLE);
    const VImage difference = rgbA - rgbB;
    const double meanSquare = (difference * difference).avg();
    return meanSquare == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

struct Figures {
    double bytes = 0;
    double seconds = 0;
    double psnrSum = 0;
    int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
    dorvex::VipsRuntime::start();
    std::vector<fs::path> photos;
    for (int i = 1; i < argc; ++i) photos.emplace_back(argv[i]);
    if (photos.empty()) {
        const fs::path images = fs::path(DORVEX_CORPUS_DIR) / "images";
        photos = {images / "Dune.jpg", images / "IMG-20191006-WA0002.jpg", images / "goexif-sample1.jpg"};
    }
    const fs::path work = fs::temp_directory_path() / ("dorvex-heif-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);

    struct Series {
        OutputFormat format;
        std::vector<int> efforts;
    };
    // HEVC goes through libheif's x265 plug-in, which takes no speed setting: three efforts show it.
    const std::vector<Series> series{{OutputFormat::avif, {0, 1, 2, 3, 4, 5, 6}}, {OutputFormat::heic, {0, 4, 9}}};

    std::printf("%-6s %-26s %6s %10s %8s %7s\n", "format", "photo", "effort", "bytes", "seconds", "PSNR");
    for (const Series& s : series) {
        std::map<int, Figures> totals;
        for (const fs::path& photo : photos) {
            const dorvex::Picture picture = loadPicture(photo);
            for (int effort : s.efforts) {
                const fs::path out = work / ("out." + std::string(s.format.fileExtension()));
                const auto start = std::chrono::steady_clock::now();
                const auto failure = dorvex::PlatformWriter::writeLossy(picture, s.format, quality,
                                                                        dorvex::PlatformWriter::Effort{effort}, out);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (failure) {
                    std::printf("%s: %s\n", photo.filename().c_str(), failure->description().c_str());
                    continue;
                }
                const double bytes = double(fs::file_size(out));
                const double fidelity = psnr(dorvex::vipsImage(picture), VImage::new_from_file(out.c_str()));
                std::printf("%-6s %-26s %6d %10.0f %8.2f %7.2f\n", std::string(s.format.displayName()).c_str(),
                            photo.filename().c_str(), effort, bytes, seconds, fidelity);
                std::fflush(stdout);
                Figures& total = totals[effort];
                total.bytes += bytes;
                total.seconds += seconds;
                total.psnrSum += fidelity;
                total.count += 1;
            }
        }
        const Figures& reference = totals[referenceEffort];
        std::printf("\n%s, all photos, against effort %d:\n", std::string(s.format.displayName()).c_str(), referenceEffort);
        std::printf("%6s %10s %8s %9s %9s %10s\n", "effort", "bytes", "seconds", "bytes ×", "time ×", "mean PSNR");
        for (const auto& [effort, total] : totals) {
            std::printf("%6d %10.0f %8.2f %9.3f %9.3f %10.2f\n", effort, total.bytes, total.seconds,
                        total.bytes / reference.bytes, total.seconds / reference.seconds, total.psnrSum / total.count);
        }
        std::printf("\n");
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return 0;
}

#else

#include <cstdio>

// The benchmark decodes its photos with libvips and needs its headers: bench/CMakeLists.txt must
// link PkgConfig::VIPS.
int main() {
    std::fprintf(stderr, "HeifEffortBench: built without the libvips headers; nothing measured\n");
    return 0;
}

#endif
