#pragma once
// FFmpegSupport: private to the video sources. Owning handles for every FFmpeg object the video
// code creates, error texts, and the one-time library set-up (FFmpeg's own log is silenced: the
// engine never prints). Public headers of core/video never include this file.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
}

#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

namespace dorvex::ffmpeg {

// FFmpeg's constant macros are C casts; these keep the casts in one place.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
constexpr int errorAgain() { return AVERROR(EAGAIN); }
constexpr int errorEndOfFile() { return AVERROR_EOF; }
constexpr int errorExit() { return AVERROR_EXIT; }
constexpr int errorInvalidData() { return AVERROR_INVALIDDATA; }
constexpr int errorNoMemory() { return AVERROR(ENOMEM); }
constexpr std::int64_t noTimestamp() { return AV_NOPTS_VALUE; }
constexpr std::uint32_t tag(char a, char b, char c, char d) { return MKTAG(a, b, c, d); }
#pragma GCC diagnostic pop

// FFmpeg's English description of an error code.
inline std::string errorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
    return buffer;
}

// Once per process: FFmpeg's log goes nowhere (it would print to standard error otherwise).
inline void prepare() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct InputDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputDeleter {
    void operator()(AVFormatContext* context) const {
        if (context && context->pb && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct GraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
struct FilterInOutDeleter {
    void operator()(AVFilterInOut* list) const { avfilter_inout_free(&list); }
};

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoDeleter>;
using FilterInOut = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;

inline Frame makeFrame() { return Frame(av_frame_alloc()); }
inline Packet makePacket() { return Packet(av_packet_alloc()); }

// An AVDictionary owned for the length of a scope; `slot()` hands FFmpeg the pointer it fills
// or consumes.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&dictionary_); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    void set(const char* key, const std::string& value) { av_dict_set(&dictionary_, key, value.c_str(), 0); }
    AVDictionary** slot() { return &dictionary_; }

private:
    AVDictionary* dictionary_ = nullptr;
};

// Seconds of a timestamp in a time base; NaN when the timestamp is unknown.
inline double seconds(std::int64_t timestamp, AVRational timeBase) {
    if (timestamp == noTimestamp() || timeBase.den == 0) return std::numeric_limits<double>::quiet_NaN();
    return double(timestamp) * av_q2d(timeBase);
}

}  // namespace dorvex::ffmpeg
