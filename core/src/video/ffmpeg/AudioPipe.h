#pragma once
// AudioPipe: private to the video pass. The audio pump's work: decode, resample to the AAC
// encoder's layout and rate through a FIFO, and encode, one decoded frame per step.

#include <cstdint>
#include <optional>

#include "video/VideoSettings.h"
#include "video/ffmpeg/Demuxer.h"
#include "video/ffmpeg/EncoderOutput.h"

namespace dorvex::VideoEncoder {

struct Pass;

class AudioPipe {
public:
    AudioPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset);

    // Opens the AAC encoder for `shape`; throws VideoError.
    void start(const VideoSettings::AudioShape& shape);
    AVStream* addStream(AVFormatContext* output);

    Step step();

private:
    bool convert(const AVFrame* frame);  // into the FIFO; nullptr flushes the resampler
    bool encodeFromFifo(bool final, bool& appended);

    Pass& pass_;
    const AVStream* stream_;
    Decoding decoding_;
    std::int64_t startOffset_;
    EncoderOutput out_;
    ffmpeg::Resampler resampler_;
    ffmpeg::Fifo fifo_;
    ffmpeg::Frame frame_ = ffmpeg::makeFrame();
    std::optional<std::int64_t> nextPts_;  // in 1/sample rate
    int inFormat_ = -1, inRate_ = 0, inChannels_ = 0;
    bool flushing_ = false;
};

}  // namespace dorvex::VideoEncoder
