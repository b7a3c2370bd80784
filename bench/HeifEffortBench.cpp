// Size, time and fidelity at Q 74 (the nominal quality of level 3) on a few photos: AVIF per
// libvips effort, compared with libvips' default (4), the figures behind PlatformWriter::avifEffort;
// HEIC per x265 preset, compared with "medium", the figures behind PlatformWriter::heicPreset.
//
//   HeifEffortBench [--heic] [photo …]   --heic: HEIC only
//   default photos: AVIF three photos of tests/media of 0.2 to 1.8 MP; HEIC two of them and a
//   12 MP one made from tests/media
//
// It needs the libvips headers; without them it builds to a stub that says so.

#if __has_include(<vips/vips8>) && __has_include(<glib-object.h>)

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "image/SourceImage.h"
#include "image/VipsPicture.h"
#include "image/VipsRuntime.h"
#include "image/encoders/PlatformWriter.h"
#include "BenchMedia.h"

namespace fs = std::filesystem;
using dorvex::OutputFormat;
using vips::VImage;

namespace {

constexpr int quality = 74;

// The photo as the engine hands it over: upright 8-bit sRGB with alpha.
dorvex::Picture loadPicture(const fs::path& file) {
    dorvex::SourceImage source(file);
    return source.render(std::nullopt);
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

// One setting of a series: its label, and how to write with it.
struct Setting {
    std::string label;
    std::function<std::optional<dorvex::EncodeFailure>(const dorvex::Picture&, const fs::path&)> write;
};

struct Series {
    OutputFormat format;
    std::vector<fs::path> photos;
    std::vector<Setting> settings;
    std::string reference;  // the label the others are compared with
};

void run(const Series& s, const fs::path& work) {
    std::printf("%-6s %-30s %9s %10s %8s %7s\n", "format", "photo", "setting", "bytes", "seconds", "PSNR");
    std::vector<std::pair<std::string, Figures>> totals;
    for (const Setting& setting : s.settings) totals.emplace_back(setting.label, Figures{});
    for (const fs::path& photo : s.photos) {
        const dorvex::Picture picture = loadPicture(photo);
        for (std::size_t i = 0; i < s.settings.size(); ++i) {
            const Setting& setting = s.settings[i];
            const fs::path out = work / ("out." + std::string(s.format.fileExtension()));
            const auto start = std::chrono::steady_clock::now();
            const auto failure = setting.write(picture, out);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (failure) {
                std::printf("%s: %s\n", photo.filename().c_str(), failure->description().c_str());
                continue;
            }
            const double bytes = double(fs::file_size(out));
            const double fidelity = psnr(dorvex::vipsImage(picture), VImage::new_from_file(out.c_str()));
            std::printf("%-6s %-30s %9s %10.0f %8.2f %7.2f\n", std::string(s.format.displayName()).c_str(),
                        photo.filename().c_str(), setting.label.c_str(), bytes, seconds, fidelity);
            std::fflush(stdout);
            Figures& total = totals[i].second;
            total.bytes += bytes;
            total.seconds += seconds;
            total.psnrSum += fidelity;
            total.count += 1;
        }
    }
    Figures reference;
    for (const auto& [label, total] : totals) {
        if (label == s.reference) reference = total;
    }
    std::printf("\n%s, all photos, against %s:\n", std::string(s.format.displayName()).c_str(), s.reference.c_str());
    std::printf("%9s %10s %8s %9s %9s %10s\n", "setting", "bytes", "seconds", "bytes ×", "time ×", "mean PSNR");
    for (const auto& [label, total] : totals) {
        if (total.count == 0) continue;
        std::printf("%9s %10.0f %8.2f %9.3f %9.3f %10.2f\n", label.c_str(), total.bytes, total.seconds,
                    total.bytes / reference.bytes, total.seconds / reference.seconds, total.psnrSum / total.count);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    dorvex::VipsRuntime::start();
    bool heicOnly = false;
    std::vector<fs::path> photos;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--heic") {
            heicOnly = true;
        } else {
            photos.emplace_back(argv[i]);
        }
    }
    const fs::path images = dorvex::bench::testMedia("images");
    const fs::path work = fs::temp_directory_path() / ("dorvex-heif-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::vector<fs::path> avifPhotos =
        photos.empty() ? std::vector<fs::path>{images / "Dune.jpg", images / "IMG-20191006-WA0002.jpg",
                                               images / "goexif-sample1.jpg"}
                       : photos;
    const std::vector<fs::path> heicPhotos =
        photos.empty() ? std::vector<fs::path>{images / "Dune.jpg", images / "IMG-20191006-WA0002.jpg",
                                               dorvex::bench::cameraPhoto(work, 4000, 3000)}
                       : photos;

    if (!heicOnly) {
        Series avif{OutputFormat::avif, avifPhotos, {}, "4"};
        for (int effort : {0, 1, 2, 3, 4, 5, 6}) {
            avif.settings.push_back({std::to_string(effort), [effort](const dorvex::Picture& picture, const fs::path& out) {
                                         return dorvex::PlatformWriter::writeLossy(picture, OutputFormat::avif, quality,
                                                                                   dorvex::PlatformWriter::Effort{effort}, out);
                                     }});
        }
        run(avif, work);
    }

    Series heic{OutputFormat::heic, heicPhotos, {}, "medium"};
    for (const char* preset : {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium"}) {
        heic.settings.push_back({preset, [preset](const dorvex::Picture& picture, const fs::path& out) {
                                     return dorvex::PlatformWriter::writeHeic(
                                         picture, quality, dorvex::PlatformWriter::HeicPreset{preset}, out);
                                 }});
    }
    run(heic, work);

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
