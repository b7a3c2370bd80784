#include "dorvex/video/VideoEncoder.h"

// One pass, on FFmpeg's libraries:
//
//   demuxer ──► video pump: decode ► filter (size, colours) ► encode ─┐
//      │                                                              ├─► muxer ► file
//      └─────► audio pump: decode ► resample ► AAC encode ────────────┘
//
// Threads: the calling thread sets the pass up (opening, the first video frame, encoders, the
// file's header), then waits on the watchdog's exits; one thread per pump; one finishing thread
// that writes the trailer (and, for faststart, moves the index to the front); the watchdog's
// ticker. Each pump owns its decoder, filters, resampler and encoder outright. Shared are:
//  - the demuxer (Demuxer::lock_): one pump reads at a time and queues the other's packets, up
//    to a bound, so that the fast audio pump cannot run far ahead of the video;
//  - the muxer (Muxer::lock_): one packet is written at a time, and the trailer after both pumps;
//  - the pass status (PassStatus::lock_), the progress reporter's last percent, and the link to
//    the caller's callbacks (CallerLink::lock_, held while a callback runs so that none runs after
//    the pass has returned).
// All four are leaves: no other lock is taken while one is held. The watchdog's lock comes
// before an exit's lock and is never held while the pumps' locks are taken.
//
// Stopping: a cancellation, a stall or a failure sets the pass's stop flag; the pumps test it at
// every step, waits on the demuxer wake up, and FFmpeg's interrupt callback ends blocking reads
// and writes. When the watchdog stops a pass the calling thread does not wait for the pumps: a
// pump stuck in a library call keeps the pass's state alive (shared ownership) and ends on its
// own later, talking to nobody.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "dorvex/video/DisplayMatch.h"
#include "video/FFmpegSupport.h"
#include "dorvex/video/PumpWatchdog.h"
#include "dorvex/video/VideoProfile.h"

namespace dorvex::VideoEncoder {

namespace {

using ffmpeg::errorText;

// ---- the caller's callbacks ------------------------------------------------------------------

// Holds the caller's progress and cancellation callbacks for the pass's threads, and cuts them
// off when the pass returns: after detach() a late thread sees "cancelled" and reports nothing.
class CallerLink {
public:
    CallerLink(ProgressHandler progress, CancelQuery isCancelled)
        : progress_(std::move(progress)), isCancelled_(std::move(isCancelled)) {}

    bool cancelled() {
        std::lock_guard guard(lock_);
        if (detached_) return true;
        return isCancelled_ && isCancelled_();
    }
    void forward(double fraction) {
        std::lock_guard guard(lock_);
        if (!detached_ && progress_) progress_(fraction);
    }
    void detach() {
        std::lock_guard guard(lock_);
        detached_ = true;
        progress_ = nullptr;
        isCancelled_ = nullptr;
    }

private:
    std::mutex lock_;
    bool detached_ = false;
    ProgressHandler progress_;
    CancelQuery isCancelled_;
};

// Thins progress to whole percents: a fraction is forwarded only when its percent is larger than
// every one forwarded before.
class ProgressReporter {
public:
    explicit ProgressReporter(CallerLink& link) : link_(link) {}

    void report(double fraction) {
        const double clamped = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
        const int percent = int(clamped * 100);
        {
            std::lock_guard guard(lock_);
            if (percent <= lastPercent_) return;
            lastPercent_ = percent;
        }
        link_.forward(clamped);
    }

private:
    CallerLink& link_;
    std::mutex lock_;
    int lastPercent_ = -1;
};

// ---- what went wrong -------------------------------------------------------------------------

class PassStatus {
public:
    void readerFailed(std::string message) { record(reader_, std::move(message)); }
    void writerFailed(std::string message) { record(writer_, std::move(message)); }
    void colourFailed() {
        std::lock_guard guard(lock_);
        colour_ = true;
    }
    void finished(std::optional<std::string> error) {
        std::lock_guard guard(lock_);
        finished_ = true;
        finishError_ = std::move(error);
    }

    std::optional<std::string> reader() const { return read(reader_); }
    std::optional<std::string> writer() const { return read(writer_); }
    bool colour() const {
        std::lock_guard guard(lock_);
        return colour_;
    }
    bool anyFailed() const {
        std::lock_guard guard(lock_);
        return reader_ || writer_ || colour_;
    }
    // Whether the trailer was written, and if not, why (empty: no message).
    std::optional<std::string> finishError() const {
        std::lock_guard guard(lock_);
        if (!finished_) return std::string();
        return finishError_;
    }

private:
    void record(std::optional<std::string>& slot, std::string message) {
        std::lock_guard guard(lock_);
        if (!slot) slot = std::move(message);  // the first failure explains the rest
    }
    std::optional<std::string> read(const std::optional<std::string>& slot) const {
        std::lock_guard guard(lock_);
        return slot;
    }

    mutable std::mutex lock_;
    std::optional<std::string> reader_;
    std::optional<std::string> writer_;
    bool colour_ = false;
    bool finished_ = false;
    std::optional<std::string> finishError_;
};

// ---- the demuxer shared by the pumps ---------------------------------------------------------

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
    Read next(Track track, AVPacket* packet) {
        const int self = int(track), other = 1 - self;
        std::unique_lock guard(lock_);
        for (;;) {
            if (stopped_) return Read::stopped;
            if (!queue_[self].empty()) {
                av_packet_move_ref(packet, queue_[self].front().get());
                queuedBytes_[self] -= std::size_t(packet->size);
                queue_[self].pop_front();
                changed_.notify_all();
                return Read::packet;
            }
            if (failed_) return Read::failed;
            if (ended_) return Read::end;
            if (reading_ || (open_[other] && bounded_ && isFull(other))) {
                changed_.wait(guard);
                continue;
            }

            reading_ = true;
            guard.unlock();
            const int code = av_read_frame(input_, scratch_.get());
            guard.lock();
            reading_ = false;
            changed_.notify_all();

            if (code == ffmpeg::errorEndOfFile()) {
                ended_ = true;
            } else if (code == ffmpeg::errorExit()) {
                stopped_ = true;  // the interrupt callback: the pass is stopping
            } else if (code == ffmpeg::errorAgain()) {
                continue;
            } else if (code < 0) {
                failed_ = true;
                error_ = errorText(code);
            } else if (scratch_->stream_index == index_[self] || (open_[other] && scratch_->stream_index == index_[other])) {
                if (scratch_->flags & AV_PKT_FLAG_CORRUPT) {
                    // A packet cut short: the file ends in the middle of its data.
                    av_packet_unref(scratch_.get());
                    failed_ = true;
                    error_.clear();
                } else if (scratch_->stream_index == index_[self]) {
                    av_packet_move_ref(packet, scratch_.get());
                    return Read::packet;
                } else {
                    ffmpeg::Packet queued = ffmpeg::makePacket();
                    if (!queued) {
                        failed_ = true;
                        error_ = errorText(ffmpeg::errorNoMemory());
                        continue;
                    }
                    av_packet_move_ref(queued.get(), scratch_.get());
                    queuedBytes_[other] += std::size_t(queued->size);
                    queue_[other].push_back(std::move(queued));
                    changed_.notify_all();
                }
            } else {
                av_packet_unref(scratch_.get());
            }
        }
    }

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

// ---- the muxer -------------------------------------------------------------------------------

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
        if (int code = av_write_trailer(context_.get()); code < 0) return errorText(code);
        if (int code = avio_closep(&context_->pb); code < 0) return errorText(code);
        return std::nullopt;
    }

private:
    std::mutex lock_;
    ffmpeg::Output context_;
};

// ---- the pass --------------------------------------------------------------------------------

struct Pass;

// One step of a pump: whether the encoder took data, the source time reached, whether it is done.
struct Step {
    bool appended = false;
    double sourceSeconds = std::numeric_limits<double>::quiet_NaN();
    bool finished = false;
};

std::string sizeText(PixelSize size) { return fmt::format("{}×{}", size.width, size.height); }

ffmpeg::Codec openDecoder(const AVStream* stream) {
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) return nullptr;
    ffmpeg::Codec context(avcodec_alloc_context3(decoder));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) return nullptr;
    context->pkt_timebase = stream->time_base;
    ffmpeg::Dictionary options;
    options.set("threads", "auto");
    if (avcodec_open2(context.get(), decoder, options.slot()) < 0) return nullptr;
    return context;
}

// Decodes one track's packets from the shared demuxer.
class Decoding {
public:
    enum class Result { frame, end, stopped, failed };

    Decoding(Demuxer& demuxer, Track track, AVCodecContext* decoder) : demuxer_(demuxer), track_(track), decoder_(decoder) {}

    Result next(AVFrame* frame) {
        for (;;) {
            const int code = avcodec_receive_frame(decoder_, frame);
            if (code == 0) return Result::frame;
            if (code == ffmpeg::errorEndOfFile()) return Result::end;
            // Damaged data is skipped, as players do; the stream goes on with the next packet.
            if (code != ffmpeg::errorAgain() && drained_) return Result::end;
            switch (demuxer_.next(track_, packet_.get())) {
                case Demuxer::Read::packet:
                    avcodec_send_packet(decoder_, packet_.get());
                    av_packet_unref(packet_.get());
                    break;
                case Demuxer::Read::end:
                    if (drained_) return Result::end;
                    drained_ = true;
                    avcodec_send_packet(decoder_, nullptr);
                    break;
                case Demuxer::Read::stopped:
                    return Result::stopped;
                case Demuxer::Read::failed:
                    return Result::failed;
            }
        }
    }

private:
    Demuxer& demuxer_;
    Track track_;
    AVCodecContext* decoder_;
    ffmpeg::Packet packet_ = ffmpeg::makePacket();
    bool drained_ = false;
};

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

// An open encoder and the output stream it feeds: frames in, packets written to the muxer.
// Failures are recorded in the pass status.
class EncoderOutput {
public:
    explicit EncoderOutput(Pass& pass) : pass_(pass) {}

    bool encode(AVFrame* frame);  // false: failed (recorded)
    bool finish();                // nothing more comes; false when the encoder refuses
    Step flushStep();             // one delayed packet per step, so that the watchdog sees them

    ffmpeg::Codec context;
    AVStream* stream = nullptr;

private:
    bool drainOne(bool& gotPacket);  // one packet from the encoder, written

    Pass& pass_;
    ffmpeg::Packet packet_ = ffmpeg::makePacket();
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
    ffmpeg::Codec decoder_;
    Decoding decoding_;
    Timeline timeline_;
    DisplayMatch::Plan plan_;
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

class AudioPipe {
public:
    AudioPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset);

    // Opens the AAC encoder; throws VideoError.
    void start(int channels, int sampleRate);
    AVStream* addStream(AVFormatContext* output);

    Step step();

private:
    bool convert(const AVFrame* frame);  // into the FIFO; nullptr flushes the resampler
    bool encodeFromFifo(bool final, bool& appended);

    Pass& pass_;
    const AVStream* stream_;
    ffmpeg::Codec decoder_;
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

struct Pass {
    explicit Pass(std::shared_ptr<CallerLink> callerLink) : link(std::move(callerLink)), progress(*link) {}

    bool cancelled() { return stopRequested.load() || link->cancelled(); }

    // The pass is over: pumps stop at their next step, waits and blocking reads end.
    void stop() {
        stopRequested.store(true);
        if (demuxer) demuxer->stop();
    }

    static int interrupt(void* opaque) {
        auto* pass = static_cast<Pass*>(opaque);
        return pass->stopRequested.load() || pass->link->cancelled() ? 1 : 0;
    }
    AVIOInterruptCB interruptCallback() { return AVIOInterruptCB{&Pass::interrupt, this}; }

    std::shared_ptr<CallerLink> link;
    std::atomic<bool> stopRequested{false};
    PassStatus status;
    ProgressReporter progress;
    double endSeconds = 0;
    ffmpeg::Input input;
    std::unique_ptr<Demuxer> demuxer;
    Muxer muxer;
    std::unique_ptr<VideoPipe> video;
    std::unique_ptr<AudioPipe> audio;
    std::unique_ptr<PumpWatchdog> watchdog;  // last: it goes first, and its ticker with it
};

// ---- encoder output --------------------------------------------------------------------------

bool EncoderOutput::encode(AVFrame* frame) {
#if LIBAVUTIL_VERSION_MAJOR < 58
    // FFmpeg 5's libx265 wrapper copies a non-zero reordered_opaque into a record of its own for
    // every picture and frees it only with that picture's packet, so a pass stopped mid-stream
    // would lose one per picture in x265's lookahead. Nothing here reads the field back.
    frame->reordered_opaque = 0;
#endif
    if (int code = avcodec_send_frame(context.get(), frame); code < 0) {
        pass_.status.writerFailed(errorText(code));
        return false;
    }
    for (;;) {
        bool gotPacket = false;
        if (!drainOne(gotPacket)) return false;
        if (!gotPacket) return true;
    }
}

bool EncoderOutput::finish() { return avcodec_send_frame(context.get(), nullptr) >= 0; }

Step EncoderOutput::flushStep() {
    Step step;
    bool gotPacket = false;
    if (!drainOne(gotPacket) || !gotPacket) {
        step.finished = true;
    } else {
        step.appended = true;
    }
    return step;
}

bool EncoderOutput::drainOne(bool& gotPacket) {
    gotPacket = false;
    const int code = avcodec_receive_packet(context.get(), packet_.get());
    if (code == ffmpeg::errorAgain() || code == ffmpeg::errorEndOfFile()) return true;
    if (code < 0) {
        pass_.status.writerFailed(errorText(code));
        return false;
    }
    gotPacket = true;
    const int written = pass_.muxer.write(packet_.get(), context->time_base, stream);
    av_packet_unref(packet_.get());
    if (written < 0) {
        pass_.status.writerFailed(errorText(written));
        return false;
    }
    return true;
}

// ---- video -----------------------------------------------------------------------------------

std::int64_t frameStep(const AVStream* stream, AVFormatContext* input) {
    const AVRational rate = av_guess_frame_rate(input, const_cast<AVStream*>(stream), nullptr);
    if (rate.num <= 0 || rate.den <= 0) return 1;
    return av_rescale_q(1, av_inv_q(rate), stream->time_base);
}

VideoPipe::VideoPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset)
    : pass_(pass),
      stream_(stream),
      decoder_(std::move(decoder)),
      decoding_(*pass.demuxer, Track::video, decoder_.get()),
      timeline_(startOffset, frameStep(stream, pass.input.get())),
      out_(pass) {}

std::string colourName(const char* name) { return name ? name : ""; }

DisplayMatch::Colours coloursOf(const AVFrame& frame, const AVCodecParameters& parameters) {
    const auto pick = [](auto fromFrame, auto fromStream, auto unspecified) {
        return fromFrame != unspecified ? fromFrame : fromStream;
    };
    const AVColorPrimaries primaries = pick(frame.color_primaries, parameters.color_primaries, AVCOL_PRI_UNSPECIFIED);
    const AVColorTransferCharacteristic transfer = pick(frame.color_trc, parameters.color_trc, AVCOL_TRC_UNSPECIFIED);
    const AVColorSpace matrix = pick(frame.colorspace, parameters.color_space, AVCOL_SPC_UNSPECIFIED);
    const AVColorRange range = pick(frame.color_range, parameters.color_range, AVCOL_RANGE_UNSPECIFIED);

    DisplayMatch::Colours colours;
    if (primaries != AVCOL_PRI_UNSPECIFIED) colours.primaries = colourName(av_color_primaries_name(primaries));
    if (transfer != AVCOL_TRC_UNSPECIFIED) colours.transfer = colourName(av_color_transfer_name(transfer));
    if (matrix != AVCOL_SPC_UNSPECIFIED) colours.matrix = colourName(av_color_space_name(matrix));
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
    colours.rgb = descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
    const AVPixelFormat format = AVPixelFormat(frame.format);
    const bool jpegRange = format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
                           format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
    colours.fullRange = !colours.rgb && (range == AVCOL_RANGE_JPEG || jpegRange);
    return colours;
}

// x265's parameters for the mastering display and content light level of an HDR source, taken
// from the first frame (HEVC SEI) or else from the container.
std::string hdrParameters(const AVFrame& frame, const AVStream& stream) {
    const AVMasteringDisplayMetadata* mastering = nullptr;
    const AVContentLightMetadata* light = nullptr;
    if (const AVFrameSideData* data = av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
        mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(data->data);
    } else if (const std::uint8_t* bytes = av_stream_get_side_data(&stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, nullptr)) {
        mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(bytes);
    }
    if (const AVFrameSideData* data = av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
        light = reinterpret_cast<const AVContentLightMetadata*>(data->data);
    } else if (const std::uint8_t* bytes = av_stream_get_side_data(&stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, nullptr)) {
        light = reinterpret_cast<const AVContentLightMetadata*>(bytes);
    }

    std::string parameters;
    if (mastering && mastering->has_primaries && mastering->has_luminance) {
        const auto chroma = [](AVRational value) { return std::lround(av_q2d(value) * 50000); };
        const auto luminance = [](AVRational value) { return std::lround(av_q2d(value) * 10000); };
        const auto& p = mastering->display_primaries;  // red, green, blue
        parameters += fmt::format(":master-display=G({},{})B({},{})R({},{})WP({},{})L({},{})", chroma(p[1][0]),
                                  chroma(p[1][1]), chroma(p[2][0]), chroma(p[2][1]), chroma(p[0][0]), chroma(p[0][1]),
                                  chroma(mastering->white_point[0]), chroma(mastering->white_point[1]),
                                  luminance(mastering->max_luminance), luminance(mastering->min_luminance));
    }
    if (light && (light->MaxCLL || light->MaxFALL)) parameters += fmt::format(":max-cll={},{}", light->MaxCLL, light->MaxFALL);
    return parameters;
}

void VideoPipe::start(const VideoSource& source, const VideoEncodeSettings& settings, PixelSize outputSize) {
    outputSize_ = outputSize;
    switch (decoding_.next(frame_.get())) {
        case Decoding::Result::frame:
            havePending_ = true;
            break;
        case Decoding::Result::stopped:
            throw VideoError::cancelled();
        case Decoding::Result::failed: {
            const std::string error = pass_.demuxer->error();
            throw VideoError::unreadable(error.empty() ? "读取中断" : error);
        }
        case Decoding::Result::end:
            throw VideoError::unreadable("无法开始读取");
    }

    const bool keepHDR = source.isHDR() && settings.codec == VideoCodec::hevc;
    const PixelSize picture{frame_->width, frame_->height};
    plan_ = DisplayMatch::plan(coloursOf(*frame_, *stream_->codecpar), picture, outputSize, source.isHDR(), keepHDR);
    if (!buildGraph(*frame_)) {
        if (plan_.conversion != DisplayMatch::Conversion::none) throw VideoError::encodeFailed("颜色转换失败");
        throw VideoError::encodeFailed(pass_.status.writer().value_or("无法处理画面"));
    }

    const AVCodec* codec = avcodec_find_encoder_by_name(std::string(VideoSettings::encoderName(settings.codec)).c_str());
    if (!codec) throw VideoError::encodeFailed(fmt::format("缺少编码器 {}", VideoSettings::encoderName(settings.codec)));
    out_.context.reset(avcodec_alloc_context3(codec));
    if (!out_.context) throw VideoError::encodeFailed(errorText(ffmpeg::errorNoMemory()));

    AVCodecContext& e = *out_.context;
    e.width = outputSize.width;
    e.height = outputSize.height;
    e.pix_fmt = av_get_pix_fmt(plan_.pixelFormat.c_str());
    e.time_base = av_buffersink_get_time_base(sink_);
    const AVRational rate = av_guess_frame_rate(pass_.input.get(), const_cast<AVStream*>(stream_), nullptr);
    if (rate.num > 0 && rate.den > 0) e.framerate = rate;
    e.gop_size = VideoProfile::keyFrameInterval(source.frameRate);
    e.color_primaries = AVColorPrimaries(av_color_primaries_from_name(plan_.output.primaries.c_str()));
    e.color_trc = AVColorTransferCharacteristic(av_color_transfer_from_name(plan_.output.transfer.c_str()));
    e.colorspace = AVColorSpace(av_color_space_from_name(plan_.output.matrix.c_str()));
    e.color_range = AVCOL_RANGE_MPEG;
    // Anamorphic sources keep their shape: the pixel aspect follows the change of size.
    const AVRational sourceAspect = frame_->sample_aspect_ratio.num > 0 ? frame_->sample_aspect_ratio : stream_->codecpar->sample_aspect_ratio;
    if (sourceAspect.num > 0 && sourceAspect.den > 0) {
        AVRational aspect = av_mul_q(sourceAspect, AVRational{picture.width * outputSize.height, picture.height * outputSize.width});
        av_reduce(&aspect.num, &aspect.den, aspect.num, aspect.den, 65535);
        e.sample_aspect_ratio = aspect;
    }
    if (pass_.muxer.context()->oformat->flags & AVFMT_GLOBALHEADER) e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    ffmpeg::Dictionary options;
    options.set("threads", "auto");
    options.set("preset", std::string(VideoSettings::encoderPreset(settings.codec)));
    if (const auto* quality = std::get_if<VideoRate::Quality>(&settings.rate.value)) {
        options.set("crf", fmt::format("{:.2f}", VideoSettings::constantRateFactor(settings.codec, quality->value)));
    } else {
        e.bit_rate = std::max<std::int64_t>(1, std::get<VideoRate::Bitrate>(settings.rate.value).bitsPerSecond);
    }
    if (settings.codec == VideoCodec::hevc) {
        options.set("profile", keepHDR ? "main10" : "main");
        // x265 writes to standard error unless told not to.
        options.set("x265-params", "log-level=none" + (keepHDR ? hdrParameters(*frame_, *stream_) : std::string()));
    } else {
        options.set("profile", "high");
    }
    if (int code = avcodec_open2(out_.context.get(), codec, options.slot()); code < 0) {
        throw VideoError::encodeFailed(errorText(code));
    }
}

AVStream* VideoPipe::addStream(AVFormatContext* output, const VideoSource& source, const VideoEncodeSettings& settings) {
    out_.stream = avformat_new_stream(output, nullptr);
    if (!out_.stream || avcodec_parameters_from_context(out_.stream->codecpar, out_.context.get()) < 0) return nullptr;
    out_.stream->time_base = out_.context->time_base;
    out_.stream->sample_aspect_ratio = out_.context->sample_aspect_ratio;
    if (settings.codec == VideoCodec::hevc) out_.stream->codecpar->codec_tag = ffmpeg::tag('h', 'v', 'c', '1');

    // The display transform, its translation following the change of size.
    const AffineTransform& t = source.transform;
    if (!(t == AffineTransform{})) {
        const PixelSize before = source.displaySize(source.naturalSize);
        const PixelSize after = source.displaySize(PixelSize{out_.context->width, out_.context->height});
        const double sx = before.width > 0 ? double(after.width) / before.width : 1;
        const double sy = before.height > 0 ? double(after.height) / before.height : 1;
        const auto fixed = [](double value) {
            return std::int32_t(std::clamp(std::lround(value * 65536.0), long(std::numeric_limits<std::int32_t>::min()),
                                           long(std::numeric_limits<std::int32_t>::max())));
        };
        const std::int32_t matrix[9] = {fixed(t.a), fixed(t.b), 0, fixed(t.c), fixed(t.d), 0,
                                        fixed(t.tx * sx), fixed(t.ty * sy), 1 << 30};
        std::uint8_t* data = av_stream_new_side_data(out_.stream, AV_PKT_DATA_DISPLAYMATRIX, sizeof matrix);
        if (!data) return nullptr;
        std::memcpy(data, matrix, sizeof matrix);
    }
    return out_.stream;
}

bool VideoPipe::buildGraph(const AVFrame& frame) {
    graph_.reset(avfilter_graph_alloc());
    source_ = sink_ = nullptr;
    if (!graph_) return false;
    graph_->nb_threads = 1;  // the encoder and decoder have the cores; filters run on the pump

    const AVRational aspect = frame.sample_aspect_ratio.num > 0 ? frame.sample_aspect_ratio : AVRational{1, 1};
    const std::string arguments = fmt::format("video_size={}x{}:pix_fmt={}:time_base={}/{}:pixel_aspect={}/{}", frame.width,
                                              frame.height, frame.format, stream_->time_base.num, stream_->time_base.den,
                                              aspect.num, aspect.den);
    const auto fail = [this](int code) {
        pass_.status.writerFailed(errorText(code));
        return false;
    };
    if (int code = avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", arguments.c_str(),
                                                nullptr, graph_.get());
        code < 0) {
        return fail(code);
    }
    if (int code = avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                                graph_.get());
        code < 0) {
        return fail(code);
    }

    ffmpeg::FilterInOut outputs(avfilter_inout_alloc()), inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) return fail(ffmpeg::errorNoMemory());
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source_;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    AVFilterInOut* openInputs = inputs.release();
    AVFilterInOut* openOutputs = outputs.release();
    const int parsed = avfilter_graph_parse_ptr(graph_.get(), plan_.filter.c_str(), &openInputs, &openOutputs, nullptr);
    avfilter_inout_free(&openInputs);
    avfilter_inout_free(&openOutputs);
    if (parsed < 0) return fail(parsed);
    if (int code = avfilter_graph_config(graph_.get(), nullptr); code < 0) return fail(code);

    graphWidth_ = frame.width;
    graphHeight_ = frame.height;
    graphFormat_ = frame.format;
    return true;
}

void VideoPipe::filterFailed(const std::string& message) {
    if (plan_.conversion != DisplayMatch::Conversion::none) {
        pass_.status.colourFailed();
    } else {
        pass_.status.writerFailed(message);
    }
}

bool VideoPipe::filterAndEncode(AVFrame* frame) {
    if (frame->width != graphWidth_ || frame->height != graphHeight_ || frame->format != graphFormat_) {
        // The stream changed its picture size or format: a new graph, same output.
        if (!buildGraph(*frame)) {
            filterFailed(pass_.status.writer().value_or(""));
            return false;
        }
    }
    frame->pts = timeline_.place(frame->best_effort_timestamp);
    if (int code = av_buffersrc_add_frame_flags(source_, frame, 0); code < 0) {
        filterFailed(errorText(code));
        return false;
    }
    for (;;) {
        const int code = av_buffersink_get_frame(sink_, filtered_.get());
        if (code == ffmpeg::errorAgain() || code == ffmpeg::errorEndOfFile()) return true;
        if (code < 0) {
            filterFailed(errorText(code));
            return false;
        }
        filtered_->pict_type = AV_PICTURE_TYPE_NONE;
        const bool encoded = out_.encode(filtered_.get());
        av_frame_unref(filtered_.get());
        if (!encoded) return false;
    }
}

Step VideoPipe::step() {
    Step step;
    if (flushing_) return out_.flushStep();

    if (!havePending_) {
        switch (decoding_.next(frame_.get())) {
            case Decoding::Result::frame:
                break;
            case Decoding::Result::end: {
                // The filters' last pictures, then the encoder is told that nothing more comes.
                bool ok = true;
                if (av_buffersrc_add_frame_flags(source_, nullptr, 0) < 0) ok = false;
                while (ok) {
                    const int code = av_buffersink_get_frame(sink_, filtered_.get());
                    if (code < 0) break;
                    ok = out_.encode(filtered_.get());
                    av_frame_unref(filtered_.get());
                }
                if (!ok || !out_.finish()) {
                    step.finished = true;
                    return step;
                }
                flushing_ = true;
                step.appended = true;
                return step;
            }
            case Decoding::Result::stopped:
                step.finished = true;
                return step;
            case Decoding::Result::failed: {
                pass_.status.readerFailed(pass_.demuxer->error());
                step.finished = true;
                return step;
            }
        }
    }
    havePending_ = false;
    const std::int64_t timestamp = frame_->best_effort_timestamp;
    if (!filterAndEncode(frame_.get())) {
        av_frame_unref(frame_.get());
        step.finished = true;
        return step;
    }
    av_frame_unref(frame_.get());
    step.appended = true;
    step.sourceSeconds = ffmpeg::seconds(timestamp, stream_->time_base) -
                         (pass_.input->start_time == ffmpeg::noTimestamp() ? 0.0 : double(pass_.input->start_time) / AV_TIME_BASE);
    return step;
}

// ---- audio -----------------------------------------------------------------------------------

AudioPipe::AudioPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset)
    : pass_(pass),
      stream_(stream),
      decoder_(std::move(decoder)),
      decoding_(*pass.demuxer, Track::audio, decoder_.get()),
      startOffset_(startOffset),
      out_(pass) {}

void AudioPipe::start(int channels, int sampleRate) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) throw VideoError::encodeFailed("缺少编码器 aac");
    out_.context.reset(avcodec_alloc_context3(codec));
    if (!out_.context) throw VideoError::encodeFailed(errorText(ffmpeg::errorNoMemory()));
    AVCodecContext& e = *out_.context;
    e.sample_fmt = AV_SAMPLE_FMT_FLTP;
    e.sample_rate = sampleRate;
    av_channel_layout_default(&e.ch_layout, channels);
    e.bit_rate = VideoSettings::aacBitrate(sampleRate, channels);
    e.time_base = AVRational{1, sampleRate};
    if (pass_.muxer.context()->oformat->flags & AVFMT_GLOBALHEADER) e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int code = avcodec_open2(out_.context.get(), codec, nullptr); code < 0) throw VideoError::encodeFailed(errorText(code));

    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, std::max(e.frame_size, 1024) * 4));
    if (!fifo_) throw VideoError::encodeFailed(errorText(ffmpeg::errorNoMemory()));
}

AVStream* AudioPipe::addStream(AVFormatContext* output) {
    out_.stream = avformat_new_stream(output, nullptr);
    if (!out_.stream || avcodec_parameters_from_context(out_.stream->codecpar, out_.context.get()) < 0) return nullptr;
    out_.stream->time_base = out_.context->time_base;
    return out_.stream;
}

bool AudioPipe::convert(const AVFrame* frame) {
    AVCodecContext& e = *out_.context;
    // A stream that changes its sample format, rate or channels midway gets a new resampler.
    if (frame && resampler_ &&
        (frame->format != inFormat_ || frame->sample_rate != inRate_ || frame->ch_layout.nb_channels != inChannels_)) {
        resampler_.reset();
    }
    if (!resampler_) {
        if (!frame) return true;
        inFormat_ = frame->format;
        inRate_ = frame->sample_rate;
        inChannels_ = frame->ch_layout.nb_channels;
        AVChannelLayout inLayout{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
            av_channel_layout_default(&inLayout, std::max(frame->ch_layout.nb_channels, 1));
        } else if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0) {
            return false;
        }
        SwrContext* created = nullptr;
        const int code = swr_alloc_set_opts2(&created, &e.ch_layout, e.sample_fmt, e.sample_rate, &inLayout,
                                             AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        resampler_.reset(created);
        if (code < 0 || swr_init(resampler_.get()) < 0) {
            pass_.status.writerFailed(errorText(code < 0 ? code : ffmpeg::errorInvalidData()));
            return false;
        }
    }
    const int inSamples = frame ? frame->nb_samples : 0;
    const int capacity = swr_get_out_samples(resampler_.get(), inSamples);
    if (capacity <= 0) return true;
    ffmpeg::Frame converted = ffmpeg::makeFrame();
    converted->format = e.sample_fmt;
    converted->sample_rate = e.sample_rate;
    converted->nb_samples = capacity;
    if (!converted || av_channel_layout_copy(&converted->ch_layout, &e.ch_layout) < 0 ||
        av_frame_get_buffer(converted.get(), 0) < 0) {
        pass_.status.writerFailed(errorText(ffmpeg::errorNoMemory()));
        return false;
    }
    const int count = swr_convert(resampler_.get(), converted->data, capacity,
                                  frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr, inSamples);
    if (count < 0) {
        pass_.status.writerFailed(errorText(count));
        return false;
    }
    if (count > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted->data), count) < count) {
        pass_.status.writerFailed(errorText(ffmpeg::errorNoMemory()));
        return false;
    }
    return true;
}

bool AudioPipe::encodeFromFifo(bool final, bool& appended) {
    const int frameSize = out_.context->frame_size > 0 ? out_.context->frame_size : 1024;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize || (final && av_audio_fifo_size(fifo_.get()) > 0)) {
        const int count = std::min(frameSize, av_audio_fifo_size(fifo_.get()));
        ffmpeg::Frame frame = ffmpeg::makeFrame();
        if (!frame) return false;
        frame->nb_samples = count;
        frame->format = out_.context->sample_fmt;
        frame->sample_rate = out_.context->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &out_.context->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0 ||
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), count) < count) {
            pass_.status.writerFailed(errorText(ffmpeg::errorNoMemory()));
            return false;
        }
        frame->pts = nextPts_.value_or(0);
        nextPts_ = frame->pts + count;
        if (!out_.encode(frame.get())) return false;
        appended = true;
    }
    return true;
}

Step AudioPipe::step() {
    Step step;
    if (flushing_) return out_.flushStep();
    switch (decoding_.next(frame_.get())) {
        case Decoding::Result::frame: {
            if (!nextPts_) {
                // The first samples set the track's start; the rest follow sample by sample.
                const std::int64_t timestamp = frame_->best_effort_timestamp;
                const std::int64_t start = timestamp == ffmpeg::noTimestamp() ? 0 : timestamp - startOffset_;
                nextPts_ = av_rescale_q(start, stream_->time_base, out_.context->time_base);
            }
            const bool converted = convert(frame_.get());
            av_frame_unref(frame_.get());
            if (!converted || !encodeFromFifo(false, step.appended)) step.finished = true;
            return step;
        }
        case Decoding::Result::end:
            if (!convert(nullptr) || !encodeFromFifo(true, step.appended) || !out_.finish()) {
                step.finished = true;
                return step;
            }
            flushing_ = true;
            return step;
        case Decoding::Result::stopped:
            step.finished = true;
            return step;
        case Decoding::Result::failed:
            pass_.status.readerFailed(pass_.demuxer->error());
            step.finished = true;
            return step;
    }
    return step;
}

// ---- threads ---------------------------------------------------------------------------------

// The threads a pass starts. Threads that have finished are joined; one that is still busy after
// the watchdog stopped the pass is let go (it owns what it uses and ends by itself).
class Workers {
public:
    ~Workers() { release(); }

    // Throws std::system_error when no thread can be started.
    void start(std::function<void()> work) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.reserve(threads_.size() + 1);
        std::thread thread([work = std::move(work), done]() mutable {
            work();
            work = nullptr;  // let go of the pass before saying so
            done->store(true);
        });
        threads_.push_back(Thread{std::move(thread), done});
    }

    void joinAll() {
        for (Thread& thread : threads_) {
            if (thread.thread.joinable()) thread.thread.join();
        }
    }

    void release() {
        for (Thread& thread : threads_) {
            if (!thread.thread.joinable()) continue;
            if (thread.done->load()) {
                thread.thread.join();
            } else {
                thread.thread.detach();
            }
        }
    }

private:
    struct Thread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Thread> threads_;
};

void pump(const std::shared_ptr<Pass>& pass, Track track, const std::shared_ptr<PumpWatchdog::Exit>& exit) {
    for (;;) {
        if (exit->isClaimed()) break;  // the watchdog has stopped the pass
        if (pass->cancelled()) break;
        const Step step = track == Track::video ? pass->video->step() : pass->audio->step();
        if (step.appended) {
            pass->watchdog->markSample();
            if (track == Track::video && pass->endSeconds > 0 && std::isfinite(step.sourceSeconds)) {
                pass->progress.report(step.sourceSeconds / pass->endSeconds);
            }
        }
        if (step.finished) break;
    }
    pass->demuxer->close(track);
    if (exit->claim()) exit->resume();
}

// Removes the output file unless the pass succeeded.
class OutputFile {
public:
    explicit OutputFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~OutputFile() {
        if (created_ && !kept_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void created() { created_ = true; }
    void keep() { kept_ = true; }

private:
    std::filesystem::path path_;
    bool created_ = false;
    bool kept_ = false;
};

// The latest of the video stream's end and the container's duration, in seconds from the file's
// start; `fallback` when neither is known.
double endOfSource(const AVFormatContext& input, const AVStream& video, double fallback) {
    const double start = input.start_time == ffmpeg::noTimestamp() ? 0.0 : double(input.start_time) / AV_TIME_BASE;
    double latest = 0;
    const double streamStart = video.start_time == ffmpeg::noTimestamp() ? start : ffmpeg::seconds(video.start_time, video.time_base);
    const double streamEnd = streamStart + ffmpeg::seconds(video.duration, video.time_base) - start;
    if (std::isfinite(streamEnd) && streamEnd > 0) latest = streamEnd;
    if (input.duration != ffmpeg::noTimestamp()) {
        const double container = double(input.duration) / AV_TIME_BASE;
        if (std::isfinite(container) && container > latest) latest = container;
    }
    return latest > 0 ? latest : fallback;
}

std::int64_t startOffset(const AVFormatContext& input, const AVStream& stream) {
    if (input.start_time == ffmpeg::noTimestamp()) return 0;
    return av_rescale_q(input.start_time, AVRational{1, AV_TIME_BASE}, stream.time_base);
}

bool isMP4(const std::filesystem::path& output) {
    std::string extension = output.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension == ".mp4";
}

// ---- the pass, start to end ------------------------------------------------------------------

std::int64_t runPass(const std::shared_ptr<Pass>& pass, Workers& workers, OutputFile& file, const VideoSource& source,
                     const VideoEncodeSettings& settings, const std::filesystem::path& output,
                     double stallTimeoutSeconds, double watchdogIntervalSeconds) {
    // Reader.
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) throw VideoError::unreadable(errorText(ffmpeg::errorNoMemory()));
    opened->interrupt_callback = pass->interruptCallback();
    if (int code = avformat_open_input(&opened, source.url.c_str(), nullptr, nullptr); code < 0) {
        throw VideoError::unreadable(code == ffmpeg::errorInvalidData() ? "格式不受支持或受版权保护" : errorText(code));
    }
    pass->input.reset(opened);
    if (int code = avformat_find_stream_info(pass->input.get(), nullptr); code < 0) throw VideoError::unreadable(errorText(code));

    // Writer, by the output's extension.
    AVFormatContext* created = nullptr;
    if (int code = avformat_alloc_output_context2(&created, nullptr, isMP4(output) ? "mp4" : "mov", output.c_str()); code < 0) {
        throw VideoError::encodeFailed(errorText(code));
    }
    pass->muxer.reset(created);
    pass->muxer.context()->interrupt_callback = pass->interruptCallback();

    // Tracks: the first video stream (not a cover picture), the first audio stream.
    AVFormatContext& input = *pass->input;
    const AVStream* videoStream = nullptr;
    const AVStream* audioStream = nullptr;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        AVStream* stream = input.streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && !videoStream && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            videoStream = stream;
        } else if (type == AVMEDIA_TYPE_AUDIO && !audioStream && source.audioChannels >= 1) {
            audioStream = stream;
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    if (!videoStream) throw VideoError::noVideoTrack();
    pass->endSeconds = endOfSource(input, *videoStream, source.duration);

    ffmpeg::Codec videoDecoder = openDecoder(videoStream);
    if (!videoDecoder) throw VideoError::unreadable("格式不受支持或受版权保护");
    // Audio that cannot be decoded is left out; the pass goes on without it.
    ffmpeg::Codec audioDecoder = audioStream ? openDecoder(audioStream) : nullptr;
    if (!audioDecoder && audioStream) {
        const_cast<AVStream*>(audioStream)->discard = AVDISCARD_ALL;
        audioStream = nullptr;
    }

    pass->demuxer = std::make_unique<Demuxer>(pass->input.get(), videoStream->index, audioStream ? audioStream->index : -1);
    pass->video = std::make_unique<VideoPipe>(*pass, videoStream, std::move(videoDecoder), startOffset(input, *videoStream));
    if (audioStream) {
        pass->audio = std::make_unique<AudioPipe>(*pass, audioStream, std::move(audioDecoder), startOffset(input, *audioStream));
    }

    // 4:2:0 pictures need even sides.
    const PixelSize outputSize{std::max(2, settings.pixelSize.width & ~1), std::max(2, settings.pixelSize.height & ~1)};
    if (settings.pixelSize.width <= 0 || settings.pixelSize.height <= 0) {
        throw VideoError::encodeFailed("画面尺寸无效 " + sizeText(settings.pixelSize));
    }

    // Start reading: the first video frame fixes colours, filters and the encoder.
    pass->demuxer->setBounded(false);
    pass->video->start(source, settings, outputSize);
    pass->demuxer->setBounded(true);
    if (pass->audio) {
        const int channels = VideoSettings::audioChannels(source.audioChannels);
        const int sampleRate = VideoSettings::audioSampleRate(source.audioSampleRate);
        pass->audio->start(channels, sampleRate);
    }

    // Start writing.
    AVFormatContext& muxer = *pass->muxer.context();
    if (!pass->video->addStream(&muxer, source, settings) || (pass->audio && !pass->audio->addStream(&muxer))) {
        throw VideoError::encodeFailed("无法开始写入");
    }
    if (int code = avio_open2(&muxer.pb, output.c_str(), AVIO_FLAG_WRITE, &muxer.interrupt_callback, nullptr); code < 0) {
        throw VideoError::encodeFailed(errorText(code));
    }
    file.created();
    {
        ffmpeg::Dictionary options;
        options.set("movflags", "+faststart");
        if (int code = avformat_write_header(&muxer, options.slot()); code < 0) throw VideoError::encodeFailed(errorText(code));
    }

    // The watchdog: a poll for cancellation and failures, and a handler that stops the pass.
    Pass* raw = pass.get();  // the watchdog lives inside the pass: no owning reference here
    pass->watchdog = std::make_unique<PumpWatchdog>(
        stallTimeoutSeconds, watchdogIntervalSeconds,
        [raw]() -> std::optional<PumpWatchdog::Stop> {
            if (raw->link->cancelled()) return PumpWatchdog::Stop::cancelled;
            if (raw->status.anyFailed()) return PumpWatchdog::Stop::failed;
            return std::nullopt;
        },
        [raw](PumpWatchdog::Stop) { raw->stop(); });

    // Pumping: both pumps at once; the calling thread waits for both.
    std::vector<std::shared_ptr<PumpWatchdog::Exit>> exits;
    const auto startPump = [&](Track track) {
        exits.push_back(pass->watchdog->open(PumpWatchdog::StallWatch::watched, [&](const std::shared_ptr<PumpWatchdog::Exit>& exit) {
            try {
                workers.start([pass, track, exit] { pump(pass, track, exit); });
            } catch (const std::system_error& error) {
                pass->status.writerFailed(error.what());
                if (exit->claim()) exit->resume();
            }
        }));
    };
    startPump(Track::video);
    if (pass->audio) startPump(Track::audio);
    for (const auto& exit : exits) exit->wait();

    // After the pumps.
    if (pass->link->cancelled()) throw VideoError::cancelled();
    if (pass->watchdog->stopped() == PumpWatchdog::Stop::stalled) throw VideoError::encodeFailed("编码器无响应");
    if (pass->status.colour()) throw VideoError::encodeFailed("颜色转换失败");
    if (auto error = pass->status.reader()) throw VideoError::unreadable(error->empty() ? "读取中断" : *error);
    if (auto error = pass->status.writer()) throw VideoError::encodeFailed(error->empty() ? "写入失败" : *error);

    // Finishing: the trailer (and the index moved to the front) on a thread of its own, waited
    // for without stall detection.
    pass->watchdog->run(PumpWatchdog::StallWatch::unwatched, [&](const std::shared_ptr<PumpWatchdog::Exit>& exit) {
        try {
            workers.start([pass, exit] {
                pass->status.finished(pass->muxer.finish());
                if (exit->claim()) exit->resume();
            });
        } catch (const std::system_error& error) {
            pass->status.finished(error.what());
            if (exit->claim()) exit->resume();
        }
    });
    if (pass->link->cancelled()) throw VideoError::cancelled();
    if (auto error = pass->status.finishError()) throw VideoError::encodeFailed(error->empty() ? "写入未完成" : *error);

    pass->progress.report(1);
    std::error_code sizeError;
    const auto bytes = std::filesystem::file_size(output, sizeError);
    return sizeError ? 0 : std::int64_t(bytes);
}

}  // namespace

std::int64_t encode(const VideoSource& source, const VideoEncodeSettings& settings, const std::filesystem::path& output,
                    double stallTimeoutSeconds, double watchdogIntervalSeconds, const ProgressHandler& progress,
                    const CancelQuery& isCancelled) {
    ffmpeg::prepare();
    auto link = std::make_shared<CallerLink>(progress, isCancelled);
    auto pass = std::make_shared<Pass>(link);
    OutputFile file(output);
    Workers workers;
    try {
        const std::int64_t bytes =
            runPass(pass, workers, file, source, settings, output, stallTimeoutSeconds, watchdogIntervalSeconds);
        if (pass->watchdog) pass->watchdog->end();
        workers.joinAll();
        file.keep();
        link->detach();
        return bytes;
    } catch (...) {
        const bool cancelled = link->cancelled();
        if (pass->watchdog) pass->watchdog->end();
        pass->stop();
        workers.release();
        link->detach();
        try {
            throw;
        } catch (const VideoError& error) {
            if (cancelled && error.kind != VideoError::Kind::cancelled) throw VideoError::cancelled();
            throw;
        } catch (const std::exception& error) {
            if (cancelled) throw VideoError::cancelled();
            throw VideoError::encodeFailed(error.what());
        }
    }
}

}  // namespace dorvex::VideoEncoder
