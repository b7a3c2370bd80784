#pragma once
// VideoPipe: private to the video pass. The video pump's work: decode, filter (size, colours,
// pixel format) and encode, one frame per step; set up on the calling thread from the first
// frame.

#include <cstdint>
#include <optional>
#include <string>

#include "dorvex/model/PixelSize.h"
#include "video/ffmpeg/DisplayMatch.h"
#include "video/VideoSettings.h"
#include "video/VideoSource.h"
#include "video/ffmpeg/Demuxer.h"
#include "video/ffmpeg/EncoderOutput.h"

namespace dorvex::VideoEncoder {

struct Pass;

// Keeps a track's time stamps starting at the file's start and strictly growing.
class Timeline {
public:
    Timeline(std::int64_t offset, std::int64_t step) : offset_(offset), step_(std::max<std::int64_t>(step, 1)) {}

    std::int64_t place(std::int64_t timestamp) {
        std::int64_t pts = timestamp == ffmpeg::noTimestamp() ? (last_ ? *last_ + step_ : 0) : timestamp - offset_;
        if (last_ && pts <= *last_) pts = *last_ + 1;
        last_ = pts;
        return pts;
    }

private:
    std::int64_t offset_;
    std::int64_t step_;
    std::optional<std::int64_t> last_;
};

class VideoPipe {
public:
    VideoPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset);

    // Set-up, on the calling thread: the first frame, the filter graph and the encoder.
    // Throws VideoError.
    void start(const VideoSource& source, const VideoEncodeSettings& settings, PixelSize outputSize);
    AVStream* addStream(AVFormatContext* output, const VideoSource& source, const VideoEncodeSettings& settings);

    Step step();

private:
    bool buildGraph(const AVFrame& frame);
    bool filterAndEncode(AVFrame* frame);   // false: failed (recorded)
    void filterFailed(const std::string& message);

    Pass& pass_;
    const AVStream* stream_;
    Decoding decoding_;
    Timeline timeline_;
    DisplayMatch::Plan plan_;
    std::string frameFilter_;  // "fps=…," when the frame rate is lowered, else empty
    PixelSize outputSize_;
    ffmpeg::Graph graph_;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    int graphWidth_ = 0, graphHeight_ = 0, graphFormat_ = -1;
    EncoderOutput out_;
    ffmpeg::Frame frame_ = ffmpeg::makeFrame();
    ffmpeg::Frame filtered_ = ffmpeg::makeFrame();
    bool havePending_ = false;  // the first frame, decoded during set-up
    bool flushing_ = false;
};

}  // namespace dorvex::VideoEncoder
