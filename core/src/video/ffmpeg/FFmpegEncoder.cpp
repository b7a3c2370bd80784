#include "video/ffmpeg/FFmpegVideo.h"

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
//    the caller's callbacks (CallerLink::lock_, which only counts the callbacks under way: they
//    run without it, so FFmpeg's interrupt callback never waits for a progress report).
// All four are leaves: no other lock is taken while one is held. The watchdog's lock comes
// before an exit's lock and is never held while the pumps' locks are taken.
//
// Stopping: a cancellation, a stall or a failure sets the pass's stop flag; the pumps test it at
// every step, waits on the demuxer wake up, and FFmpeg's interrupt callback ends blocking reads
// and writes, so a stopped pump returns within the encoder's current frame. Before encode()
// returns, every thread of the pass is joined (pumps, finishing thread, the watchdog's ticker) and
// only then are the caller's callbacks cut off; the pass's state lives on the calling thread.
//
// The parts live beside this file: Demuxer (with Decoding), Muxer, EncoderOutput, VideoPipe and
// AudioPipe (the pumps' work), PassStatus, CallerLink (with the progress reporter), Pass (what the
// threads share) and PassThreads (the threads and the pump loop). This file opens the source and
// the output, sets the pass up, runs it and turns its outcome into a result or a VideoError.

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "platform/WorkFolder.h"
#include "dorvex/text/Translation.h"
#include "video/PumpWatchdog.h"
#include "video/ffmpeg/FFmpegSupport.h"
#include "video/ffmpeg/Pass.h"
#include "video/ffmpeg/PassThreads.h"

namespace dorvex::VideoEncoder {

namespace {

using ffmpeg::errorText;

std::string sizeText(PixelSize size) { return fmt::format("{}×{}", size.width, size.height); }

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

std::int64_t runPass(Pass& pass, PassThreads& threads, OutputFile& file, const VideoSource& source,
                     const VideoEncodeSettings& settings, const std::filesystem::path& output,
                     double stallTimeoutSeconds, double watchdogIntervalSeconds) {
    // Reader.
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) throw VideoError::unreadable(errorText(ffmpeg::errorNoMemory()));
    opened->interrupt_callback = pass.interruptCallback();
    if (int code = avformat_open_input(&opened, source.url.c_str(), nullptr, nullptr); code < 0) {
        throw VideoError::unreadable(code == ffmpeg::errorInvalidData() ? std::string(i18n("格式不受支持或受版权保护")) : errorText(code));
    }
    pass.input.reset(opened);
    if (int code = avformat_find_stream_info(pass.input.get(), nullptr); code < 0) throw VideoError::unreadable(errorText(code));

    // Writer, by the output's extension.
    AVFormatContext* created = nullptr;
    if (int code = avformat_alloc_output_context2(&created, nullptr, isMP4(output) ? "mp4" : "mov", output.c_str()); code < 0) {
        throw VideoError::encodeFailed(errorText(code));
    }
    pass.muxer.reset(created);
    pass.muxer.context()->interrupt_callback = pass.interruptCallback();

    // Tracks: the first video stream (not a cover picture), the first audio stream.
    AVFormatContext& input = *pass.input;
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
    pass.endSeconds = endOfSource(input, *videoStream, source.duration);

    ffmpeg::Codec videoDecoder = openDecoder(videoStream);
    if (!videoDecoder) throw VideoError::unreadable(i18n("格式不受支持或受版权保护"));
    // Audio that cannot be decoded is left out; the pass goes on without it.
    ffmpeg::Codec audioDecoder = audioStream ? openDecoder(audioStream) : nullptr;
    if (!audioDecoder && audioStream) {
        const_cast<AVStream*>(audioStream)->discard = AVDISCARD_ALL;
        audioStream = nullptr;
    }

    pass.demuxer = std::make_unique<Demuxer>(pass.input.get(), videoStream->index, audioStream ? audioStream->index : -1);
    pass.video = std::make_unique<VideoPipe>(pass, videoStream, std::move(videoDecoder), startOffset(input, *videoStream));
    if (audioStream) {
        pass.audio = std::make_unique<AudioPipe>(pass, audioStream, std::move(audioDecoder), startOffset(input, *audioStream));
    }

    const PixelSize outputSize = VideoSettings::encodedSize(settings.pixelSize);
    if (settings.pixelSize.width <= 0 || settings.pixelSize.height <= 0) {
        throw VideoError::encodeFailed(i18nf("画面尺寸无效 {}", sizeText(settings.pixelSize)));
    }

    // Start reading: the first video frame fixes colours, filters and the encoder.
    pass.demuxer->setBounded(false);
    pass.video->start(source, settings, outputSize);
    pass.demuxer->setBounded(true);
    if (pass.audio) {
        pass.audio->start(VideoSettings::audioShape(source.audioChannels, source.audioSampleRate, settings.audioBitrate));
    }

    // Start writing.
    AVFormatContext& muxer = *pass.muxer.context();
    if (!pass.video->addStream(&muxer, source, settings) || (pass.audio && !pass.audio->addStream(&muxer))) {
        throw VideoError::encodeFailed(i18n("无法开始写入"));
    }
    // libavformat makes the file by name with the default mode: it is made private first.
    if (!WorkFolder::makePrivateFile(output)) throw VideoError::encodeFailed(std::generic_category().message(errno));
    file.created();
    if (int code = avio_open2(&muxer.pb, output.c_str(), AVIO_FLAG_WRITE, &muxer.interrupt_callback, nullptr); code < 0) {
        throw VideoError::encodeFailed(errorText(code));
    }
    {
        ffmpeg::Dictionary options;
        options.set("movflags", "+faststart");
        if (int code = avformat_write_header(&muxer, options.slot()); code < 0) throw VideoError::encodeFailed(errorText(code));
    }

    // The watchdog: a poll for cancellation and failures, and a handler that stops the pass.
    pass.watchdog = std::make_unique<PumpWatchdog>(
        stallTimeoutSeconds, watchdogIntervalSeconds,
        [&pass]() -> std::optional<PumpWatchdog::Stop> {
            if (pass.link.cancelled()) return PumpWatchdog::Stop::cancelled;
            if (pass.status.anyFailed()) return PumpWatchdog::Stop::failed;
            return std::nullopt;
        },
        [&pass](PumpWatchdog::Stop) { pass.stop(); });

    // Pumping: both pumps at once; the calling thread waits for both.
    std::vector<std::shared_ptr<PumpWatchdog::Exit>> exits;
    const auto startPump = [&](Track track) {
        exits.push_back(pass.watchdog->open(PumpWatchdog::StallWatch::watched, [&](const std::shared_ptr<PumpWatchdog::Exit>& exit) {
            try {
                threads.start([&pass, track, exit] { pump(pass, track, exit); });
            } catch (const std::system_error& error) {
                pass.status.writerFailed(error.what());
                if (exit->claim()) exit->resume();
            }
        }));
    };
    startPump(Track::video);
    if (pass.audio) startPump(Track::audio);
    for (const auto& exit : exits) exit->wait();

    // After the pumps. A cancellation counts when the watchdog saw it, even if the caller's query
    // says otherwise now: the pumps may still be at work.
    const auto cancelled = [&] {
        return pass.link.cancelled() || pass.watchdog->stopped() == PumpWatchdog::Stop::cancelled;
    };
    if (cancelled()) throw VideoError::cancelled();
    if (pass.watchdog->stopped() == PumpWatchdog::Stop::stalled) throw VideoError::encodeFailed(i18n("编码器无响应"));
    if (pass.status.colour()) throw VideoError::encodeFailed(i18n("颜色转换失败"));
    if (auto error = pass.status.reader()) throw VideoError::unreadable(error->empty() ? std::string(i18n("读取中断")) : *error);
    if (auto error = pass.status.writer()) throw VideoError::encodeFailed(error->empty() ? std::string(i18n("写入失败")) : *error);

    // Finishing: the trailer (and the index moved to the front) on a thread of its own, waited
    // for without stall detection.
    pass.watchdog->run(PumpWatchdog::StallWatch::unwatched, [&](const std::shared_ptr<PumpWatchdog::Exit>& exit) {
        try {
            threads.start([&pass, exit] {
                pass.status.finished(pass.muxer.finish());
                if (exit->claim()) exit->resume();
            });
        } catch (const std::system_error& error) {
            pass.status.finished(error.what());
            if (exit->claim()) exit->resume();
        }
    });
    if (cancelled()) throw VideoError::cancelled();
    if (auto error = pass.status.finishError()) throw VideoError::encodeFailed(error->empty() ? std::string(i18n("写入未完成")) : *error);

    pass.progress.report(1);
    std::error_code sizeError;
    const auto bytes = std::filesystem::file_size(output, sizeError);
    return sizeError ? 0 : std::int64_t(bytes);
}

}  // namespace

}  // namespace dorvex::VideoEncoder

namespace dorvex {

std::int64_t ffmpeg::encode(const VideoSource& source, const VideoEncodeSettings& settings,
                            const std::filesystem::path& output, double stallTimeoutSeconds,
                            double watchdogIntervalSeconds, const VideoEncoder::ProgressHandler& progress,
                            const VideoEncoder::CancelQuery& isCancelled) {
    using namespace VideoEncoder;
    ffmpeg::prepare();
    CallerLink link(progress, isCancelled);
    Pass pass(link);
    OutputFile file(output);
    PassThreads threads;
    // Every thread of the pass ends before this returns: the pumps and the finishing thread
    // (stopped first when the pass failed), then the watchdog's ticker; last, the callbacks are
    // cut off.
    const auto endThreads = [&] {
        if (pass.watchdog) pass.watchdog->end();
        threads.joinAll();
        pass.watchdog.reset();
        link.detach();
    };
    try {
        const std::int64_t bytes =
            runPass(pass, threads, file, source, settings, output, stallTimeoutSeconds, watchdogIntervalSeconds);
        endThreads();
        file.keep();
        return bytes;
    } catch (...) {
        const bool cancelled = link.cancelled();
        pass.stop();
        endThreads();
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

}  // namespace dorvex
