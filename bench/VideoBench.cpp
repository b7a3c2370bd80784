// The video pass against the ffmpeg tool, the byte-limit search, and the measurements behind the
// rate-factor table and the encoder preset.
//
//   VideoBench speed [runs]     our pass against `ffmpeg` with the same encoder, preset, rate
//                               factor, filters and audio, on two clips of tests/media and a
//                               1080p clip
//   VideoBench search           a limit of one third of the first encode: encodes made, bytes ÷ limit
//   VideoBench ratefactor       the x265 rate factors that match x264's SSIM per level, on pristine clips
//   VideoBench levels           what each level delivers with the current table
//   VideoBench presets          speed, size and SSIM of the encoder presets at the level-3 rate
//   VideoBench all              speed, search and levels
//
// Needs the ffmpeg tool on PATH. Clips it makes are kept in "video-bench-clips" beside it.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "BenchMedia.h"
#include "video/ffmpeg/DisplayMatch.h"
#include "video/VideoCompressor.h"
#include "video/VideoEncoder.h"
#include "video/VideoProfile.h"
#include "video/VideoSettings.h"

using namespace dorvex;
namespace fs = std::filesystem;

namespace {

fs::path benchFolder() { return fs::read_symlink("/proc/self/exe").parent_path() / "video-bench-clips"; }

fs::path corpus(const std::string& name) { return bench::testMedia("videos") / name; }

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

int run(const std::string& command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

std::string capture(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
        ::pclose(pipe);
    }
    return text;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

fs::path makeClip(const std::string& name, const std::string& arguments) {
    const fs::path file = benchFolder() / name;
    if (fs::exists(file)) return file;
    fs::create_directories(benchFolder());
    if (run("ffmpeg -nostdin -y " + arguments + " " + quoted(file)) != 0) {
        std::fprintf(stderr, "cannot make %s\n", name.c_str());
        std::exit(1);
    }
    return file;
}

// 3 s of 1080p with a tone: a moving test pattern over a zoomed fractal, so that motion and
// detail both cost bits.
fs::path clip1080p() {
    return makeClip("1080p.mp4",
                    "-f lavfi -i mandelbrot=s=1920x1080:r=30,trim=duration=3 -f lavfi -i sine=f=440:r=48000:d=3 -ac 2 "
                    "-c:v libx264 -preset veryfast -crf 12 -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 "
                    "-color_trc bt709 -c:a aac -shortest");
}

struct Probe {
    DisplayMatch::Colours colours;
    PixelSize size;
    int frames = 0;
};

Probe probeColours(const VideoSource& source) {
    Probe probe;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, source.url.c_str(), nullptr, nullptr) < 0) return probe;
    avformat_find_stream_info(context, nullptr);
    const int index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index >= 0) {
        const AVCodecParameters* p = context->streams[index]->codecpar;
        const auto name = [](const char* text, bool specified) { return specified && text ? std::string(text) : std::string(); };
        probe.colours.primaries = name(av_color_primaries_name(p->color_primaries), p->color_primaries != AVCOL_PRI_UNSPECIFIED);
        probe.colours.transfer = name(av_color_transfer_name(p->color_trc), p->color_trc != AVCOL_TRC_UNSPECIFIED);
        probe.colours.matrix = name(av_color_space_name(p->color_space), p->color_space != AVCOL_SPC_UNSPECIFIED);
        probe.colours.fullRange = p->color_range == AVCOL_RANGE_JPEG;
        probe.size = {p->width, p->height};
        probe.frames = int(std::lround(source.duration * source.frameRate));
    }
    avformat_close_input(&context);
    return probe;
}

// The ffmpeg command that makes what our pass makes.
std::string toolCommand(const VideoSource& source, const VideoEncodeSettings& settings, const fs::path& output) {
    const Probe probe = probeColours(source);
    const bool keepHDR = source.isHDR() && settings.codec == VideoCodec::hevc;
    const DisplayMatch::Plan plan = DisplayMatch::plan(probe.colours, probe.size, settings.pixelSize, source.isHDR(), keepHDR);
    std::ostringstream command;
    command << "ffmpeg -nostdin -y -i " << quoted(source.url) << " -map 0:v:0 -map 0:a:0? -vf '" << plan.filter << "'"
            << " -c:v " << VideoSettings::encoderName(settings.codec)
            << " -preset " << VideoSettings::encoderPreset(settings.codec);
    if (const auto* quality = std::get_if<VideoRate::Quality>(&settings.rate.value)) {
        char crf[32];
        std::snprintf(crf, sizeof crf, "%.2f", VideoSettings::constantRateFactor(settings.codec, quality->value));
        command << " -crf " << crf;
    } else {
        command << " -b:v " << std::get<VideoRate::Bitrate>(settings.rate.value).bitsPerSecond;
    }
    command << " -g " << VideoProfile::keyFrameInterval(source.frameRate);
    if (settings.codec == VideoCodec::hevc) {
        command << " -profile:v " << (keepHDR ? "main10" : "main") << " -x265-params log-level=none -tag:v hvc1";
    } else {
        command << " -profile:v high";
    }
    command << " -color_primaries " << plan.output.primaries << " -color_trc " << plan.output.transfer << " -colorspace "
            << plan.output.matrix << " -color_range tv";
    if (source.hasAudio()) {
        const int channels = VideoSettings::audioChannels(source.audioChannels);
        const int rate = VideoSettings::audioSampleRate(source.audioSampleRate);
        command << " -c:a aac -ac " << channels << " -ar " << rate << " -b:a " << VideoSettings::aacBitrate(rate, channels);
    }
    command << " -movflags +faststart " << quoted(output);
    return command.str();
}

// Mean SSIM (and PSNR) of `encoded` against `reference`, both decoded by the tool.
std::pair<double, double> similarity(const fs::path& encoded, const fs::path& reference) {
    const std::string text = capture("ffmpeg -nostdin -i " + quoted(encoded) + " -i " + quoted(reference) +
                                     " -lavfi '[0:v]crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0,split[a][b];[1:v]crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0,split[c][d];"
                                     "[a][c]ssim;[b][d]psnr' -f null -");
    double ssim = NAN, psnr = NAN;
    if (auto at = text.find("SSIM "); at != std::string::npos) {
        if (auto all = text.find("All:", at); all != std::string::npos) ssim = std::atof(text.c_str() + all + 4);
    }
    if (auto at = text.find("PSNR "); at != std::string::npos) {
        if (auto avg = text.find("average:", at); avg != std::string::npos) psnr = std::atof(text.c_str() + avg + 8);
    }
    return {ssim, psnr};
}

std::int64_t encodeOurs(const VideoSource& source, const VideoEncodeSettings& settings, const fs::path& output) {
    return VideoEncoder::encode(source, settings, output, 60, 0.25, nullptr, nullptr);
}

// ---- speed -----------------------------------------------------------------------------------

void speed(int runs) {
    std::printf("\n== Our pass against the ffmpeg tool (same encoder, preset, rate factor, filters, audio)\n");
    std::printf("%-30s %-6s %8s %8s %8s %8s %7s\n", "clip", "codec", "frames", "our fps", "tool fps", "ratio", "bytes%");
    const fs::path folder = benchFolder() / "speed";
    fs::create_directories(folder);
    for (const fs::path& file : {corpus("birds.mp4"), corpus("mimetype-mov.mov"), clip1080p()}) {
        const VideoSource source = VideoSource::load(file);
        const int frames = int(std::lround(source.duration * source.frameRate));
        for (const VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
            const VideoEncodeSettings settings{codec, VideoRate::quality(VideoProfile::quality(3)), source.naturalSize};
            const fs::path ours = folder / "ours.mp4", tool = folder / "tool.mp4";
            const std::string command = toolCommand(source, settings, tool);
            std::vector<double> ourTimes, toolTimes;
            std::int64_t ourBytes = 0;
            for (int i = 0; i < runs; ++i) {  // alternating, so that both see the same machine
                ourTimes.push_back(secondsOf([&] { ourBytes = encodeOurs(source, settings, ours); }));
                toolTimes.push_back(secondsOf([&] { run(command); }));
            }
            const double ourTime = median(ourTimes), toolTime = median(toolTimes);
            std::printf("%-30s %-6s %8d %8.1f %8.1f %8.2f %7.1f\n", file.filename().c_str(), std::string(codec.rawValue()).c_str(),
                        frames, frames / ourTime, frames / toolTime, ourTime / toolTime,
                        100.0 * double(ourBytes) / double(fs::file_size(tool)));
        }
    }
    std::printf("ratio = our time ÷ the tool's time (median of %d alternating runs); goal ≤ 1.10\n", runs);
    std::printf("tool command, last one: %s\n", toolCommand(VideoSource::load(clip1080p()),
                                                           {VideoCodec::h264, VideoRate::quality(0.6), {1920, 1080}},
                                                           "OUT.mp4").c_str());
}

// ---- search ----------------------------------------------------------------------------------

void search() {
    std::printf("\n== Byte-limit search: limit = one third of the first encode (level 3)\n");
    std::printf("%-30s %-6s %10s %10s %7s %12s %10s %9s\n", "clip", "codec", "first", "limit", "encodes", "chosen/limit",
                "stop", "seconds");
    const fs::path folder = benchFolder() / "search";
    for (const fs::path& file : {corpus("birds.mp4"), corpus("mimetype-mov.mov"), clip1080p()}) {
        const VideoSource source = VideoSource::load(file);
        for (const VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
            fs::remove_all(folder);
            fs::create_directories(folder);
            const std::int64_t first = encodeOurs(
                source, {codec, VideoRate::quality(VideoProfile::quality(3)), source.naturalSize}, folder / "first.mp4");
            CompressionOptions options;
            options.level = 3;
            options.videoCodec = codec;
            options.videoMaxBytes = first / 3;
            options.saveLocation = SaveLocation::folder(folder / "out", "-min");
            CompressionResult result;
            const double seconds = secondsOf([&] { result = VideoCompressor::compress(file, options, nullptr, nullptr); });
            const std::string stopText = result.stopReason ? std::string(rawValue(*result.stopReason)) : "-";
            std::printf("%-30s %-6s %10lld %10lld %7d %12.3f %10s %9.1f\n", file.filename().c_str(),
                        std::string(codec.rawValue()).c_str(), static_cast<long long>(first),
                        static_cast<long long>(*options.videoMaxBytes), result.encodeCount,
                        double(result.outputBytes) / double(*options.videoMaxBytes), stopText.c_str(), seconds);
            if (result.failed()) std::printf("   failed: %s\n", result.failed()->message.c_str());
        }
    }
    fs::remove_all(folder);
}

// ---- calibration -----------------------------------------------------------------------------

// Calibration clips are stored losslessly (FFV1), so that an encode is compared with the scene
// itself. Compared with an H.264 source instead, x264 reproduces the source's own artefacts and
// looks better than it is, and x265 looks worse. Three kinds of content: a slow pan and zoom over
// a detailed landscape photo, a pan over a phone photo with film grain, and a moving fractal (the
// photos are those of tests/media; the table in docs/ARCHITECTURE.md was measured over an 8 MP
// landscape and a 12 MP phone photo, so its figures differ slightly from a run over these).
std::vector<fs::path> pristineClips() {
    const auto photo = [](const char* name) { return quoted(bench::testMedia("images") / name); };
    const std::string lossless = " -frames:v 90 -c:v ffv1 -pix_fmt yuv420p";
    return {
        makeClip("pan.mkv", "-loop 1 -framerate 30 -i " + photo("Dune.jpg") +
                                " -vf \"scale=3840:-2,zoompan=z='1.2+0.002*on':x='iw/2-(iw/zoom/2)+on*4':"
                                "y='ih/2-(ih/zoom/2)':d=1:s=1280x720:fps=30\"" + lossless),
        makeClip("grain.mkv", "-loop 1 -framerate 30 -i " + photo("IMG-20191006-WA0002.jpg") +
                                  " -vf \"scale=2560:-2,zoompan=z=1.1:x='on*3':y='ih/4':d=1:s=1280x720:fps=30,"
                                  "noise=alls=10:allf=t\"" + lossless),
        makeClip("fractal.mkv", "-f lavfi -i mandelbrot=s=1280x720:r=30" + lossless),
    };
}

// What the levels deliver is also shown on two clips of tests/media (H.264 sources, so see above).
std::vector<fs::path> levelClips() {
    std::vector<fs::path> clips = pristineClips();
    clips.push_back(corpus("birds.mp4"));
    clips.push_back(corpus("mimetype-mov.mov"));
    return clips;
}

// Encodes with the tool at a given rate factor and preset: (seconds, bytes, SSIM, PSNR).
struct Measure {
    double seconds, bytes, ssim, psnr;
};

Measure measure(const fs::path& file, VideoCodec codec, double crf, const std::string& preset) {
    const fs::path output = benchFolder() / "calibration.mp4";
    std::ostringstream command;
    command << "ffmpeg -nostdin -y -i " << quoted(file) << " -map 0:v:0 -an -c:v " << VideoSettings::encoderName(codec)
            << " -preset " << preset << " -crf " << crf << " -vf 'crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0' -pix_fmt yuv420p";
    if (codec == VideoCodec::hevc) command << " -x265-params log-level=none";
    command << " " << quoted(output);
    Measure m{};
    m.seconds = secondsOf([&] { run(command.str()); });
    m.bytes = double(fs::file_size(output));
    std::tie(m.ssim, m.psnr) = similarity(output, file);
    return m;
}

double ssimDecibels(double ssim) { return -10 * std::log10(std::max(1e-9, 1 - ssim)); }

// Where the curve (falling values over rising `xs`) meets `value`, by linear interpolation, and
// by extrapolation from the end segments outside it.
double crossing(const std::vector<double>& xs, const std::vector<double>& curve, double value) {
    std::size_t i = 0;
    while (i + 2 < curve.size() && curve[i + 1] > value) ++i;
    const double span = curve[i] - curve[i + 1];
    return span == 0 ? xs[i] : xs[i] + (curve[i] - value) / span * (xs[i + 1] - xs[i]);
}

double interpolate(const std::vector<double>& xs, const std::vector<double>& ys, double x) {
    std::size_t i = 0;
    while (i + 2 < xs.size() && xs[i + 1] < x) ++i;
    return ys[i] + (x - xs[i]) / (xs[i + 1] - xs[i]) * (ys[i + 1] - ys[i]);
}

// The rate factors of the levels. x264's line is the anchor: 18 (visually lossless by its own
// documentation) at level 1, its default 23 at level 3. On each pristine clip, the SSIM that x264
// delivers at a level is the target, and the x265 rate factor that meets it is read off x265's
// own curve; the table's x265 line is the least-squares fit of the per-level means over quality.
void rateFactor() {
    std::printf("\n== x265 rate factors that match x264's SSIM per level (pristine clips, video only)\n");
    std::vector<double> grid;
    for (double crf = 12; crf <= 40; crf += 4) grid.push_back(crf);
    std::vector<double> qualities, means(7, 0);
    for (int level = 1; level <= 6; ++level) qualities.push_back(VideoProfile::quality(level));
    const std::vector<fs::path> clips = pristineClips();
    std::printf("%-12s %-6s %-9s %-10s %-10s %-10s %-10s\n", "clip", "level", "x264 crf", "SSIM dB", "x264 bytes",
                "x265 crf", "x265 bytes");
    for (const fs::path& clip : clips) {
        std::vector<double> curve, logBytes;
        for (double crf : grid) {
            const Measure m = measure(clip, VideoCodec::hevc, crf, std::string(VideoSettings::encoderPreset(VideoCodec::hevc)));
            curve.push_back(ssimDecibels(m.ssim));
            logBytes.push_back(std::log(m.bytes));
        }
        for (int level = 1; level <= 6; ++level) {
            const double x264 = VideoSettings::constantRateFactor(VideoCodec::h264, qualities[level - 1]);
            const Measure m = measure(clip, VideoCodec::h264, x264, std::string(VideoSettings::encoderPreset(VideoCodec::h264)));
            const double target = ssimDecibels(m.ssim);
            const double x265 = crossing(grid, curve, target);
            means[level] += x265 / double(clips.size());
            std::printf("%-12s %-6d %-9.1f %-10.2f %-10.0f %-10.1f %-10.0f\n", clip.filename().c_str(), level, x264, target,
                        m.bytes, x265, std::exp(interpolate(grid, logBytes, x265)));
        }
    }
    double mq = 0, mc = 0, sqc = 0, sqq = 0;
    for (int level = 1; level <= 6; ++level) mq += qualities[level - 1] / 6, mc += means[level] / 6;
    for (int level = 1; level <= 6; ++level) {
        sqc += (qualities[level - 1] - mq) * (means[level] - mc);
        sqq += (qualities[level - 1] - mq) * (qualities[level - 1] - mq);
    }
    const double slope = -sqc / sqq;
    std::printf("x265 rate factor per level (mean):");
    for (int level = 1; level <= 6; ++level) std::printf(" %.1f", means[level]);
    std::printf("\nleast squares: crf = %.1f - %.1f x quality\n", mc + slope * mq, slope);
}

void levels() {
    std::printf("\n== What each level delivers (first encode; SSIM and PSNR against the source; video only)\n");
    for (const VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        std::printf("%s, preset %s\n", std::string(codec.displayName()).c_str(), std::string(VideoSettings::encoderPreset(codec)).c_str());
        std::printf("%-6s %-8s %-6s", "level", "quality", "crf");
        for (const fs::path& file : levelClips()) std::printf(" %28.28s", file.filename().c_str());
        std::printf("\n");
        for (int level = 1; level <= 6; ++level) {
            const double q = VideoProfile::quality(level);
            const double crf = VideoSettings::constantRateFactor(codec, q);
            std::printf("%-6d %-8.2f %-6.1f", level, q, crf);
            for (const fs::path& file : levelClips()) {
                const Measure m = measure(file, codec, crf, std::string(VideoSettings::encoderPreset(codec)));
                std::printf(" %8.0fk %.4f %5.1fdB %4.1f", m.bytes / 1000, m.ssim, m.psnr, ssimDecibels(m.ssim));
            }
            std::printf("\n");
        }
    }
    std::printf("columns per clip: bytes, SSIM, PSNR, SSIM in dB (−10·log10(1−SSIM))\n");
}

void presets() {
    std::printf("\n== Encoder presets at the level-3 rate factor (video only; seconds, bytes, SSIM)\n");
    const std::vector<std::string> names{"ultrafast", "superfast", "veryfast", "faster", "fast", "medium"};
    for (const VideoCodec codec : {VideoCodec::hevc, VideoCodec::h264}) {
        const double crf = VideoSettings::constantRateFactor(codec, VideoProfile::quality(3));
        std::printf("%s at crf %.1f\n%-34s", std::string(codec.displayName()).c_str(), crf, "preset:");
        for (const std::string& name : names) std::printf(" %24s", name.c_str());
        std::printf("\n");
        for (const fs::path& file : pristineClips()) {
            std::printf("%-34s", file.filename().c_str());
            for (const std::string& name : names) {
                const Measure m = measure(file, codec, crf, name);
                std::printf(" %6.2fs %7.0fk %.4f", m.seconds, m.bytes / 1000, m.ssim);
            }
            std::printf("\n");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    if (run("ffmpeg -version") != 0) {
        std::fprintf(stderr, "VideoBench needs the ffmpeg tool on PATH\n");
        return 1;
    }
    if (what == "speed" || what == "all") speed(argc > 2 && what == "speed" ? std::max(1, std::atoi(argv[2])) : 3);
    if (what == "search" || what == "all") search();
    if (what == "ratefactor") rateFactor();
    if (what == "levels" || what == "all") levels();
    if (what == "presets") presets();
    return 0;
}
