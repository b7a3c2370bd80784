#pragma once
// Muxer: private to the video pass. The output file, written one packet at a time by either
// pump, and its trailer after both.

#include <mutex>
#include <optional>
#include <string>

#include "video/ffmpeg/FFmpegSupport.h"

namespace dorvex::VideoEncoder {

class Muxer {
public:
    AVFormatContext* context() const { return context_.get(); }
    void reset(AVFormatContext* context) { context_.reset(context); }

    // Writes one packet (its time stamps in `from`) to `stream`; FFmpeg's error code.
    int write(AVPacket* packet, AVRational from, const AVStream* stream) {
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet, from, stream->time_base);
        std::lock_guard guard(lock_);
        return av_interleaved_write_frame(context_.get(), packet);
    }

    // The trailer, then the file is closed; an error text, or nullopt on success.
    std::optional<std::string> finish() {
        std::lock_guard guard(lock_);
        if (int code = av_write_trailer(context_.get()); code < 0) return ffmpeg::errorText(code);
        if (int code = avio_closep(&context_->pb); code < 0) return ffmpeg::errorText(code);
        return std::nullopt;
    }

private:
    std::mutex lock_;
    ffmpeg::Output context_;
};

}  // namespace dorvex::VideoEncoder
