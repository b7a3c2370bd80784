// The image pipeline on photos (the JPEGs of tests/media, or of the folder given), against an
// oracle and a plain bisection.
//
// For each photo, at level 3 (JPEG out) with no limit, a limit of 200 000 bytes and a limit of
// half the source's size, it prints the encodes made, chosen bytes ÷ limit, and the job's wall
// time ÷ the wall time of an oracle job that knew the answer (decode + one encode at the chosen
// quality and size). Beside it, in the same run, a plain bisection on quality at full size with
// the same encoder and limits — what common tools do — with the same three figures. Medians and
// 90th percentiles close the table.
//
//   ImagePipelineBench [images folder]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BenchMedia.h"
#include "image/ImagePipeline.h"
#include "image/EncodeSession.h"
#include "dorvex/model/FormatProfile.h"
#include "image/SourceImage.h"
#include "image/encoders/ImageEncoder.h"
#include "platform/WorkFolder.h"

using namespace dorvex;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    int encodes = 0;
    double bytesOverLimit = 0;  // 0 without a limit
    double timeOverOracle = 0;
    bool met = true;
};

double oracleSeconds(const fs::path& file, const Toolchain& tools, int quality, std::optional<PixelSize> size) {
    const auto start = Clock::now();
    SourceImage source(file);
    EncodeSession session(source, OutputFormat::jpeg, encoderFor(tools, OutputFormat::jpeg, CompressionOptions{}));
    session.encode(0, quality, size);
    return secondsSince(start);
}

// Binary search for the highest quality that fits, at full size, between the floor and the level's quality.
Figures bisection(const fs::path& file, const Toolchain& tools, std::optional<std::int64_t> limit) {
    const auto start = Clock::now();
    SourceImage source(file);
    EncodeSession session(source, OutputFormat::jpeg, encoderFor(tools, OutputFormat::jpeg, CompressionOptions{}));
    const FormatProfile profile = FormatProfile::of(OutputFormat::jpeg, false);
    Figures f;
    int lo = profile.floorQuality, hi = CompressionOptions{}.quality(), best = -1;
    std::int64_t bestBytes = 0, smallest = INT64_MAX;
    int smallestQ = hi;
    if (!limit) {
        session.encode(0, hi, std::nullopt);
        f.encodes = 1;
        f.timeOverOracle = secondsSince(start) / oracleSeconds(file, tools, hi, std::nullopt);
        return f;
    }
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const auto bytes = session.encode(f.encodes, mid, std::nullopt);
        ++f.encodes;
        if (!bytes) break;
        if (*bytes < smallest) smallest = *bytes, smallestQ = mid;
        if (*bytes <= *limit) {
            best = mid, bestBytes = *bytes, lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    const double elapsed = secondsSince(start);
    f.met = best >= 0;
    f.bytesOverLimit = double(f.met ? bestBytes : smallest) / double(*limit);
    f.timeOverOracle = elapsed / oracleSeconds(file, tools, f.met ? best : smallestQ, std::nullopt);
    return f;
}

Figures pipeline(const fs::path& file, const Toolchain& tools, std::optional<std::int64_t> limit, const fs::path& out) {
    CompressionOptions options;
    options.format = OutputFormat::jpeg;
    options.maxBytes = limit;
    options.saveLocation = SaveLocation::folder(out, "");
    const auto start = Clock::now();
    const CompressionResult r = ImagePipeline::run(file, options, tools, nullptr, nullptr);
    const double elapsed = secondsSince(start);
    Figures f;
    if (r.failed()) {
        std::fprintf(stderr, "%s: %s\n", file.filename().c_str(), r.failed()->message.c_str());
        return f;
    }
    f.encodes = r.encodeCount;
    f.met = r.maxSizeMet.value_or(true);
    if (limit) f.bytesOverLimit = double(r.outputBytes) / double(*limit);
    const std::optional<PixelSize> size = r.pixelSize == r.sourcePixelSize ? std::nullopt : std::optional(r.pixelSize);
    f.timeOverOracle = elapsed / oracleSeconds(file, tools, r.quality.value_or(74), size);
    return f;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? fs::path(argv[1]) : bench::testMedia("images");
    const Toolchain tools = Toolchain::locate();
    if (!tools.cjpeg) {
        std::fprintf(stderr, "mozjpeg's cjpeg not found: run scripts/setup\n");
        return 1;
    }
    std::vector<fs::path> photos;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".jpg" && fs::file_size(entry.path()) > 50'000) photos.push_back(entry.path());
    }
    std::sort(photos.begin(), photos.end());
    const WorkFolder work("dorvex-bench-");
    const fs::path& out = work.path();

    std::printf("%-40s %-9s | %-26s | %-26s\n", "photo", "limit", "search: enc  bytes/lim  t/oracle",
                "bisection: enc bytes/lim t/or");
    struct Column {
        std::vector<double> encodes, ratio, time;
    };
    Column ours, theirs;
    for (const auto& photo : photos) {
        const std::int64_t sourceBytes = std::int64_t(fs::file_size(photo));
        const std::optional<std::int64_t> limits[] = {std::nullopt, 200'000, sourceBytes / 2};
        for (const auto& limit : limits) {
            const Figures a = pipeline(photo, tools, limit, out);
            const Figures b = bisection(photo, tools, limit);
            const std::string limitText = limit ? std::to_string(*limit) : "none";
            std::printf("%-40s %-9s | %5d  %8.3f%s  %8.2f | %5d  %8.3f%s  %6.2f\n", photo.filename().c_str(),
                        limitText.c_str(), a.encodes, a.bytesOverLimit, a.met ? " " : "!", a.timeOverOracle,
                        b.encodes, b.bytesOverLimit, b.met ? " " : "!", b.timeOverOracle);
            ours.encodes.push_back(a.encodes), theirs.encodes.push_back(b.encodes);
            ours.time.push_back(a.timeOverOracle), theirs.time.push_back(b.timeOverOracle);
            if (limit && a.met) ours.ratio.push_back(a.bytesOverLimit);
            if (limit && b.met) theirs.ratio.push_back(b.bytesOverLimit);
        }
    }
    std::printf("\n%-22s %10s %10s %12s %12s\n", "", "search p50", "search p90", "bisect p50", "bisect p90");
    const auto row = [](const char* name, const std::vector<double>& a, const std::vector<double>& b) {
        std::printf("%-22s %10.3f %10.3f %12.3f %12.3f\n", name, percentile(a, 0.5), percentile(a, 0.9),
                    percentile(b, 0.5), percentile(b, 0.9));
    };
    row("encodes per job", ours.encodes, theirs.encodes);
    row("bytes / limit (met)", ours.ratio, theirs.ratio);
    row("time / oracle", ours.time, theirs.time);
    std::printf("(! = the limit was not met; bytes/limit is 0 without a limit)\n");
    return 0;
}
