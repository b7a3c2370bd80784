#include "video/ffmpeg/AudioPipe.h"

#include <algorithm>

#include "video/VideoSource.h"
#include "video/VideoSettings.h"
#include "video/ffmpeg/Pass.h"
#include "dorvex/text/Translation.h"

namespace dorvex::VideoEncoder {

using ffmpeg::errorText;

namespace {

// A frame of `samples` samples in the encoder's format, rate and channel layout, its buffers
// allocated; null when memory runs out.
ffmpeg::Frame encoderFrame(const AVCodecContext& encoder, int samples) {
    ffmpeg::Frame frame = ffmpeg::makeFrame();
    if (!frame) return nullptr;
    frame->format = encoder.sample_fmt;
    frame->sample_rate = encoder.sample_rate;
    frame->nb_samples = samples;
    if (av_channel_layout_copy(&frame->ch_layout, &encoder.ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0) {
        return nullptr;
    }
    return frame;
}

}  // namespace

AudioPipe::AudioPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset)
    : pass_(pass),
      stream_(stream),
      decoding_(*pass.demuxer, Track::audio, std::move(decoder)),
      startOffset_(startOffset),
      out_(pass) {}

void AudioPipe::start(const VideoSettings::AudioShape& shape) {
    const int channels = shape.channels;
    const int sampleRate = shape.sampleRate;
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) throw VideoError::encodeFailed(i18nf("缺少编码器 {}", "aac"));
    out_.context.reset(avcodec_alloc_context3(codec));
    if (!out_.context) throw VideoError::encodeFailed(errorText(ffmpeg::errorNoMemory()));
    AVCodecContext& e = *out_.context;
    e.sample_fmt = AV_SAMPLE_FMT_FLTP;
    e.sample_rate = sampleRate;
    av_channel_layout_default(&e.ch_layout, channels);
    e.bit_rate = shape.bitrate;
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
    ffmpeg::Frame converted = encoderFrame(e, capacity);
    if (!converted) {
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
        ffmpeg::Frame frame = encoderFrame(*out_.context, count);
        if (!frame || av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), count) < count) {
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

}  // namespace dorvex::VideoEncoder
