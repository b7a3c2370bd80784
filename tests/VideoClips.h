#pragma once
// Helpers shared by the video tests: short clips made once with the ffmpeg tool from its own test
// sources and kept beside the test executable (every test case runs in a process of its own, so
// they are made on first use and reused), and what a written file holds, read back with FFmpeg.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace dorvex::testing {

inline fs::path corpusVideo(const std::string& name) { return testMedia("videos") / name; }

inline bool haveFFmpegTool() {
    static const bool present = std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0;
    return present;
}

#define DORVEX_REQUIRE_FFMPEG_TOOL() \
    if (!::dorvex::testing::haveFFmpegTool()) GTEST_SKIP() << "the ffmpeg tool is not installed"

// The clip `name` made with `ffmpeg -y <arguments> <file>` (the arguments quoted for the shell),
// once, in a folder beside the test executable. Fails the test when ffmpeg fails.
inline fs::path clip(const std::string& name, const std::string& arguments) {
    const fs::path folder = executableFolder() / "video-clips";
    const fs::path file = folder / name;
    if (fs::exists(file)) return file;
    fs::create_directories(folder);
    // Made under a private name and renamed, so that test processes running side by side never
    // see half a clip.
    const fs::path partial = folder / (".partial-" + std::to_string(::getpid()) + "-" + name);
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments + " '" + partial.string() +
                                "' > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    if (status != 0 || !fs::exists(partial)) {
        ADD_FAILURE() << "ffmpeg could not make " << name << ": " << command;
        return file;
    }
    fs::rename(partial, file);
    return file;
}

// Colour bars with a 440 Hz tone, stereo 44.1 kHz, 2 s at 320×240, H.264 at a high quality.
inline fs::path barsClip() {
    return clip("bars.mp4",
                "-f lavfi -i smptebars=s=320x240:r=30:d=2 -f lavfi -i sine=f=440:r=44100:d=2 -ac 2 "
                "-c:v libx264 -preset veryfast -crf 8 -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 "
                "-color_trc bt709 -c:a aac -b:a 128k -shortest");
}

// A 1 s test pattern shown as a portrait picture: a quarter-turn display matrix (which FFmpeg 5.1
// only writes when copying a stream).
inline fs::path portraitClip() {
    const fs::path landscape = clip("landscape.mp4",
                                    "-f lavfi -i testsrc=s=320x240:r=30:d=1 -f lavfi -i sine=f=330:r=48000:d=1 -c:v libx264 "
                                    "-preset veryfast -crf 12 -pix_fmt yuv420p -c:a aac");
    return clip("portrait.mp4", "-i '" + landscape.string() + "' -c copy -metadata:s:v:0 rotate=90");
}

// 1 s of 10-bit HEVC Main10 tagged BT.2020 with the HLG transfer, with a stereo tone.
inline fs::path hlgClip() {
    return clip("hlg.mov",
                "-f lavfi -i testsrc2=s=320x240:r=30:d=1 -f lavfi -i sine=f=440:r=48000:d=1 -ac 2 -vf format=yuv420p10le "
                "-c:v libx265 -preset ultrafast -x265-params "
                "log-level=none:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc "
                "-color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc -c:a aac");
}

// 1 s of 10-bit HEVC with the PQ transfer and mastering-display and content-light metadata.
inline fs::path pqClip() {
    return clip("pq.mp4",
                "-f lavfi -i testsrc2=s=320x240:r=30:d=1 -vf format=yuv420p10le -c:v libx265 -preset ultrafast "
                "-x265-params 'log-level=none:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:"
                "master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50):max-cll=1000,400' "
                "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -tag:v hvc1");
}

// A test pattern without audio, 1 s.
inline fs::path silentClip() {
    return clip("silent.mp4", "-f lavfi -i testsrc=s=320x240:r=25:d=1 -c:v libx264 -preset veryfast -crf 12 -pix_fmt yuv420p");
}

// Six channels of 96 kHz audio (16-bit PCM in QuickTime) under a test pattern, 1 s.
inline fs::path surroundClip() {
    return clip("surround.mov",
                "-f lavfi -i testsrc=s=320x240:r=30:d=1 "
                "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)|sin(550*2*PI*t)|sin(660*2*PI*t)|0.1*sin(50*2*PI*t)|sin(770*2*PI*t)|"
                "sin(880*2*PI*t):s=96000:c=5.1:d=1' -c:v libx264 -preset veryfast -crf 12 -pix_fmt yuv420p -c:a pcm_s16le");
}

// One colour in BT.601's matrix (BT.709 primaries and transfer), so that only the matrix differs.
inline fs::path matrix601Clip() {
    return clip("matrix601.mp4",
                "-f lavfi -i color=c=0xC03020:s=320x240:r=30:d=1 -vf scale=out_color_matrix=bt601:out_range=tv,format=yuv420p "
                "-c:v libx264 -preset veryfast -crf 4 -colorspace smpte170m -color_primaries bt709 -color_trc bt709");
}

// A moving test pattern without audio, 2 s: its size answers to the rate.
inline fs::path motionClip() {
    return clip("motion.mp4", "-f lavfi -i testsrc2=s=320x240:r=30:d=2 -c:v libx264 -preset veryfast -crf 6 -pix_fmt yuv420p");
}

// A busier and longer clip (640×360, 8 s, with audio), for cancelling in the middle of a pass.
inline fs::path longClip() {
    return clip("long.mp4",
                "-f lavfi -i testsrc2=s=640x360:r=30:d=8 -f lavfi -i sine=f=440:r=48000:d=8 -ac 2 -c:v libx264 "
                "-preset ultrafast -crf 16 -pix_fmt yuv420p -c:a aac");
}

// A tone without any picture.
inline fs::path audioOnlyClip() { return clip("tone.m4a", "-f lavfi -i sine=f=440:r=44100:d=1 -c:a aac"); }

// ---- reading back ----------------------------------------------------------------------------

struct VideoFacts {
    std::string codec, profile, pixelFormat, primaries, transfer, matrix, range;
    std::uint32_t tag = 0;
    int width = 0, height = 0;
    std::optional<double> rotation;  // degrees, as FFmpeg reports it
};

struct AudioFacts {
    std::string codec;
    int channels = 0;
    int sampleRate = 0;
};

struct FileFacts {
    std::string majorBrand;
    std::optional<VideoFacts> video;
    std::optional<AudioFacts> audio;
    double duration = 0;
};

inline std::string orEmpty(const char* text) { return text ? text : ""; }

inline FileFacts inspect(const fs::path& file) {
    FileFacts facts;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << file;
        return facts;
    }
    avformat_find_stream_info(context, nullptr);
    if (const AVDictionaryEntry* brand = av_dict_get(context->metadata, "major_brand", nullptr, 0)) facts.majorBrand = brand->value;
    facts.duration = double(context->duration) / AV_TIME_BASE;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        const AVCodecParameters* p = stream->codecpar;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && !facts.video) {
            VideoFacts v;
            v.codec = avcodec_get_name(p->codec_id);
            v.profile = orEmpty(avcodec_profile_name(p->codec_id, p->profile));
            v.pixelFormat = orEmpty(av_get_pix_fmt_name(AVPixelFormat(p->format)));
            v.primaries = orEmpty(av_color_primaries_name(p->color_primaries));
            v.transfer = orEmpty(av_color_transfer_name(p->color_trc));
            v.matrix = orEmpty(av_color_space_name(p->color_space));
            v.range = orEmpty(av_color_range_name(p->color_range));
            v.tag = p->codec_tag;
            v.width = p->width;
            v.height = p->height;
            if (const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
                v.rotation = av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
            }
            facts.video = v;
        } else if (p->codec_type == AVMEDIA_TYPE_AUDIO && !facts.audio) {
            facts.audio = AudioFacts{avcodec_get_name(p->codec_id), p->ch_layout.nb_channels, p->sample_rate};
        }
    }
    avformat_close_input(&context);
    return facts;
}

// The first video stream's decoded frames, handed to `visit` until it returns false.
template <typename Visit>
void decodeFrames(const fs::path& file, Visit visit) {
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << file;
        return;
    }
    avformat_find_stream_info(context, nullptr);
    const int index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVCodecContext* decoder = nullptr;
    if (index >= 0) {
        const AVCodec* codec = avcodec_find_decoder(context->streams[index]->codecpar->codec_id);
        decoder = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoder, context->streams[index]->codecpar);
        avcodec_open2(decoder, codec, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool more = decoder != nullptr;
    bool draining = false;
    while (more) {
        const int code = avcodec_receive_frame(decoder, frame);
        if (code == 0) {
            more = visit(*frame);
            av_frame_unref(frame);
            continue;
        }
        if (draining || code != AVERROR(EAGAIN)) break;
        if (av_read_frame(context, packet) < 0) {
            draining = true;
            avcodec_send_packet(decoder, nullptr);
            continue;
        }
        if (packet->stream_index == index) avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&context);
}

// The mean red, green and blue (0…255) of the centre half of frame `frameIndex`, converted with
// the matrix and range the file states.
inline std::array<double, 3> meanColour(const fs::path& file, int frameIndex) {
    std::array<double, 3> mean{-1, -1, -1};
    int seen = 0;
    decodeFrames(file, [&](const AVFrame& frame) {
        if (seen++ < frameIndex) return true;
        SwsContext* sws = sws_getContext(frame.width, frame.height, AVPixelFormat(frame.format), frame.width, frame.height,
                                         AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
        const bool full = frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P ||
                          frame.format == AV_PIX_FMT_YUVJ422P || frame.format == AV_PIX_FMT_YUVJ444P;
        const int space = frame.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(frame.colorspace);
        sws_setColorspaceDetails(sws, sws_getCoefficients(space), full ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                                 1 << 16, 1 << 16);
        std::vector<std::uint8_t> rgb(std::size_t(frame.width) * std::size_t(frame.height) * 3);
        std::uint8_t* planes[1] = {rgb.data()};
        const int strides[1] = {frame.width * 3};
        sws_scale(sws, frame.data, frame.linesize, 0, frame.height, planes, strides);
        sws_freeContext(sws);
        std::array<double, 3> sum{0, 0, 0};
        long count = 0;
        for (int y = frame.height / 4; y < frame.height * 3 / 4; ++y) {
            for (int x = frame.width / 4; x < frame.width * 3 / 4; ++x) {
                for (int c = 0; c < 3; ++c) sum[std::size_t(c)] += rgb[(std::size_t(y) * std::size_t(frame.width) + std::size_t(x)) * 3 + std::size_t(c)];
                ++count;
            }
        }
        for (int c = 0; c < 3; ++c) mean[std::size_t(c)] = sum[std::size_t(c)] / double(count);
        return false;
    });
    return mean;
}

// Byte offset of the first top-level box of `type` ("moov", "mdat"), or -1.
inline std::int64_t boxOffset(const fs::path& file, const std::string& type) {
    std::ifstream in(file, std::ios::binary);
    std::int64_t offset = 0;
    for (;;) {
        unsigned char header[8];
        if (!in.read(reinterpret_cast<char*>(header), 8)) return -1;
        std::uint64_t size = (std::uint64_t(header[0]) << 24) | (std::uint64_t(header[1]) << 16) |
                             (std::uint64_t(header[2]) << 8) | header[3];
        if (std::string(reinterpret_cast<char*>(header) + 4, 4) == type) return offset;
        if (size == 1) {
            unsigned char large[8];
            if (!in.read(reinterpret_cast<char*>(large), 8)) return -1;
            size = 0;
            for (unsigned char byte : large) size = (size << 8) | byte;
        }
        if (size < 8) return -1;
        offset += std::int64_t(size);
        in.seekg(offset);
    }
}

}  // namespace dorvex::testing
