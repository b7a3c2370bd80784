// The byte-limit search on real photos with cjpeg, alone and with encodes started ahead on one
// or two processors said to be idle: per photo, the encodes the search made, how many were taken
// over from an encode started ahead, and the wall time of the search (the first encode excluded).
// Decisions must be the same in every column; the program says so when they are not.
//
//   SearchAheadBench [limit bytes] [level quality] [photo ...]
//     defaults: 200000, 94 (level 1), the JPEGs of tests/media/images

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchMedia.h"
#include "image/EncodeSession.h"
#include "dorvex/image/SizeTargetSearch.h"
#include "image/SourceImage.h"
#include "image/encoders/ImageEncoder.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/FormatProfile.h"
#include "image/SearchAhead.h"

using namespace dorvex;
namespace fs = std::filesystem;

namespace {

struct Run {
    SizeTargetSearch::Outcome outcome;
    int takenOver = 0;
    double seconds = 0;
};

Run search(const fs::path& photo, const Toolchain& tools, std::int64_t limit, int quality, int spare) {
    SourceImage source(photo);
    CompressionOptions options;
    options.format = OutputFormat::jpeg;
    EncodeSession session(source, OutputFormat::jpeg, encoderFor(tools, OutputFormat::jpeg, options));
    const std::int64_t first = session.encode(0, quality, std::nullopt).value_or(0);
    const FormatProfile profile = FormatProfile::of(OutputFormat::jpeg, false);
    const SizeTargetSearch s{profile.ceiling(quality), profile.floorQuality, limit, quality, first,
                             source.pixelSize, true, *profile.budget};
    Run run;
    const auto start = std::chrono::steady_clock::now();
    run.outcome = SearchAhead::run(
        s, session, [&](int index, int q, std::optional<PixelSize> size) { return session.encode(index, q, size); },
        [] { return false; }, [spare] { return spare; });
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.takenOver = session.takenOver();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t limit = argc > 1 ? std::atoll(argv[1]) : 200000;
    const int quality = argc > 2 ? std::atoi(argv[2]) : 94;
    std::vector<fs::path> photos;
    for (int i = 3; i < argc; ++i) photos.emplace_back(argv[i]);
    if (photos.empty()) {
        for (const auto& entry : fs::directory_iterator(bench::testMedia("images"))) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".jpg" || ext == ".JPG") photos.push_back(entry.path());
        }
    }
    const Toolchain tools = Toolchain::locate();
    std::printf("limit %lld bytes, first encode at quality %d; search seconds (taken over / encodes)\n",
                static_cast<long long>(limit), quality);
    std::printf("%-44s %16s %16s %16s\n", "photo", "alone", "one ahead", "two ahead");
    int encodes = 0, taken1 = 0, taken2 = 0;
    double alone = 0, one = 0, two = 0;
    for (const fs::path& photo : photos) {
        const Run a = search(photo, tools, limit, quality, 0);
        const Run b = search(photo, tools, limit, quality, 1);
        const Run c = search(photo, tools, limit, quality, 2);
        if (!(a.outcome == b.outcome) || !(a.outcome == c.outcome)) std::printf("DECISIONS DIFFER for %s\n", photo.c_str());
        std::printf("%-44s %8.2f (%d/%d) %8.2f (%d/%d) %8.2f (%d/%d)\n", photo.filename().c_str(), a.seconds, a.takenOver,
                    a.outcome.encodeCount, b.seconds, b.takenOver, b.outcome.encodeCount, c.seconds, c.takenOver,
                    c.outcome.encodeCount);
        encodes += a.outcome.encodeCount, taken1 += b.takenOver, taken2 += c.takenOver;
        alone += a.seconds, one += b.seconds, two += c.seconds;
    }
    std::printf("%-44s %8.2f (%d/%d) %8.2f (%d/%d) %8.2f (%d/%d)\n", "all", alone, 0, encodes, one, taken1, encodes, two,
                taken2, encodes);
    return 0;
}
