// Our own share of an encode attempt on a 12-megapixel photo, per encoder.
//
// A cold attempt pays for rendering and writing the intermediate (PPM for cjpeg, PNG for the
// others, the rendered picture for AVIF/HEIC) and for starting the tool; a warm attempt (a
// second quality at the same size) finds the intermediate cached and pays only for starting the
// tool. The encoder's own run is measured from the child's CPU time as the kernel accounts it
// (RUSAGE_CHILDREN), and the cost of starting a process from a run of /bin/true. Goal: our own
// share at most 10 % of a warm attempt.
//
//   EncoderOverheadBench [photo]      (default: a 4000 × 3000 photo made from tests/media)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "BenchMedia.h"
#include "dorvex/model/CompressionOptions.h"
#include "platform/WorkFolder.h"
#include "image/SourceImage.h"
#include "dorvex/image/Toolchain.h"
#include "image/encoders/EncodeInputs.h"
#include "image/encoders/ImageEncoder.h"
#include "image/encoders/ToolRunner.h"

using namespace dorvex;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const WorkFolder made("dorvex-bench-photo-");
    fs::create_directories(made.path());
    const fs::path photo = argc > 1 ? fs::path(argv[1]) : bench::cameraPhoto(made.path(), 4000, 3000);
    const Toolchain tools = Toolchain::locate();

    // The cost of starting and reaping one child process.
    const int spawns = 20;
    auto start = Clock::now();
    for (int i = 0; i < spawns; ++i) ToolRunner::run("/bin/true", {});
    const double spawnSeconds = since(start) / spawns;

    start = Clock::now();
    SourceImage source(photo);
    const double decodeSeconds = since(start);
    std::printf("%s: %s, decoded upright in %.2f s; starting a process: %.1f ms\n\n", photo.filename().c_str(),
                source.pixelSize.description().c_str(), decodeSeconds, spawnSeconds * 1000);
    std::printf("%-10s | %-28s | %-28s | %s\n", "encoder", "cold: ours s + encoder s", "warm: ours s + encoder s",
                "our share of warm");

    const OutputFormat formats[] = {OutputFormat::jpeg, OutputFormat::png, OutputFormat::webp, OutputFormat::jxl,
                                    OutputFormat::avif, OutputFormat::heic};
    for (const OutputFormat format : formats) {
        CompressionOptions options;
        options.format = format;
        const ImageEncoder encoder = encoderFor(tools, format, options);
        const bool external = !std::holds_alternative<ImageIOEncoder>(encoder);
        const WorkFolder folder("dorvex-bench-");
        const fs::path& work = folder.path();
        fs::create_directories(work);
        EncodeInputs inputs(source, work);

        // Cold: the intermediate (or the rendering) first, then the encoder.
        start = Clock::now();
        if (format == OutputFormat::jpeg) {
            inputs.ppm(std::nullopt);
        } else if (external) {
            inputs.png(std::nullopt);
        } else {
            source.render(std::nullopt);
        }
        const double coldOurs = since(start);

        const auto attempt = [&](int quality, const char* name) {
            const double cpu0 = childrenCpuSeconds();
            const auto t0 = Clock::now();
            encode(encoder, quality, std::nullopt, inputs, work / name);
            const double wall = since(t0);
            // External tools: the child's own time; our part is starting it. In-process writers
            // are all encoder.
            const double encoderSeconds = external ? std::max(childrenCpuSeconds() - cpu0, wall - spawnSeconds) : wall;
            return std::pair{wall - encoderSeconds, encoderSeconds};
        };
        const auto [coldSpawn, coldEncoder] = attempt(74, "a");
        const auto [warmOurs, warmEncoder] = attempt(60, "b");
        const double warmOursAtLeast = external ? std::max(warmOurs, spawnSeconds) : warmOurs;
        std::printf("%-10s | %8.3f + %8.3f           | %8.3f + %8.3f           | %5.1f %%\n",
                    std::string(format.displayName()).c_str(), coldOurs + std::max(coldSpawn, 0.0), coldEncoder,
                    warmOursAtLeast, warmEncoder, 100 * warmOursAtLeast / (warmOursAtLeast + warmEncoder));
    }
    return 0;
}
