#pragma once
// Demuxer: private to the video pass. The source file shared by the two pumps: one reads at a
// time and queues the other's packets, up to a bound; and Decoding, one track's frames decoded
// from it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "video/ffmpeg/FFmpegSupport.h"

namespace dorvex::VideoEncoder {

enum class Track { video = 0, audio = 1 };

class Demuxer {
public:
    enum class Read { packet, end, stopped, failed };

    Demuxer(AVFormatContext* input, int videoIndex, int audioIndex) : input_(input) {
        index_[0] = videoIndex;
        index_[1] = audioIndex;
        open_[0] = videoIndex >= 0;
        open_[1] = audioIndex >= 0;
    }

    // The next packet of `track`, read from the file or taken from its queue.
    Read next(Track track, AVPacket* packet);

    // The pump of `track` takes nothing more: its queue goes, and nobody waits for it to drain.
    void close(Track track) {
        std::lock_guard guard(lock_);
        open_[int(track)] = false;
        queue_[int(track)].clear();
        queuedBytes_[int(track)] = 0;
        changed_.notify_all();
    }

    // Every wait ends and every later read returns `stopped`.
    void stop() {
        std::lock_guard guard(lock_);
        stopped_ = true;
        changed_.notify_all();
    }

    // While the first video frame is looked for, the audio queue may grow without bound (nobody
    // drains it yet).
    void setBounded(bool bounded) {
        std::lock_guard guard(lock_);
        bounded_ = bounded;
    }

    std::string error() const {
        std::lock_guard guard(lock_);
        return error_;
    }

private:
    // About ten seconds of video at common rates, or a generous amount of memory.
    static constexpr std::size_t maxQueuedPackets = 300;
    static constexpr std::size_t maxQueuedBytes = 64u << 20;

    bool isFull(int track) const {
        return queue_[track].size() >= maxQueuedPackets || queuedBytes_[track] >= maxQueuedBytes;
    }

    AVFormatContext* input_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    int index_[2];
    bool open_[2];
    std::deque<ffmpeg::Packet> queue_[2];
    std::size_t queuedBytes_[2] = {0, 0};
    ffmpeg::Packet scratch_ = ffmpeg::makePacket();  // used only by the one reading thread
    bool reading_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    bool failed_ = false;
    bool bounded_ = true;
    std::string error_;
};

// An open decoder for `stream`, or null when it has none or cannot be opened.
ffmpeg::Codec openDecoder(const AVStream* stream);

// Decodes one track's packets from the shared demuxer with the track's own decoder.
class Decoding {
public:
    enum class Result { frame, end, stopped, failed };

    Decoding(Demuxer& demuxer, Track track, ffmpeg::Codec decoder)
        : demuxer_(demuxer), track_(track), decoder_(std::move(decoder)) {}

    Result next(AVFrame* frame);

private:
    Demuxer& demuxer_;
    Track track_;
    ffmpeg::Codec decoder_;
    ffmpeg::Packet packet_ = ffmpeg::makePacket();
    bool drained_ = false;
};

}  // namespace dorvex::VideoEncoder
