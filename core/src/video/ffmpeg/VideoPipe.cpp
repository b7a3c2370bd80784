#include "video/ffmpeg/VideoPipe.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <variant>

#include <fmt/format.h>

#include "video/VideoProfile.h"
#include "dorvex/text/Translation.h"
#include "video/ffmpeg/Pass.h"

namespace dorvex::VideoEncoder {

using ffmpeg::errorText;

namespace {

std::int64_t frameStep(const AVStream* stream, AVFormatContext* input) {
    const AVRational rate = av_guess_frame_rate(input, const_cast<AVStream*>(stream), nullptr);
    if (rate.num <= 0 || rate.den <= 0) return 1;
    return av_rescale_q(1, av_inv_q(rate), stream->time_base);
}

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

}  // namespace

VideoPipe::VideoPipe(Pass& pass, const AVStream* stream, ffmpeg::Codec decoder, std::int64_t startOffset)
    : pass_(pass),
      stream_(stream),
      decoding_(*pass.demuxer, Track::video, std::move(decoder)),
      timeline_(startOffset, frameStep(stream, pass.input.get())),
      out_(pass) {}

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
            throw VideoError::unreadable(error.empty() ? std::string(i18n("读取中断")) : error);
        }
        case Decoding::Result::end:
            throw VideoError::unreadable(i18n("无法开始读取"));
    }

    const bool keepHDR = source.isHDR() && settings.codec == VideoCodec::hevc;
    const PixelSize picture{frame_->width, frame_->height};
    plan_ = DisplayMatch::plan(coloursOf(*frame_, *stream_->codecpar), picture, outputSize, source.isHDR(), keepHDR);
    // A lowered frame rate drops frames first, before they are scaled.
    const AVRational sourceRate = av_guess_frame_rate(pass_.input.get(), const_cast<AVStream*>(stream_), nullptr);
    AVRational outputRate = sourceRate;
    if (settings.frameRate && *settings.frameRate > 0 && std::isfinite(*settings.frameRate)) {
        outputRate = av_d2q(*settings.frameRate, 1'000'000);
        frameFilter_ = fmt::format("fps=fps={}/{},", outputRate.num, outputRate.den);
    }
    if (!buildGraph(*frame_)) {
        if (plan_.conversion != DisplayMatch::Conversion::none) throw VideoError::encodeFailed(i18n("颜色转换失败"));
        throw VideoError::encodeFailed(pass_.status.writer().value_or(i18n("无法处理画面")));
    }

    const AVCodec* codec = avcodec_find_encoder_by_name(std::string(VideoSettings::encoderName(settings.codec)).c_str());
    if (!codec) throw VideoError::encodeFailed(i18nf("缺少编码器 {}", VideoSettings::encoderName(settings.codec)));
    out_.context.reset(avcodec_alloc_context3(codec));
    if (!out_.context) throw VideoError::encodeFailed(errorText(ffmpeg::errorNoMemory()));

    AVCodecContext& e = *out_.context;
    e.width = outputSize.width;
    e.height = outputSize.height;
    e.pix_fmt = av_get_pix_fmt(plan_.pixelFormat.c_str());
    e.time_base = av_buffersink_get_time_base(sink_);
    if (outputRate.num > 0 && outputRate.den > 0) e.framerate = outputRate;
    e.gop_size = VideoProfile::keyFrameInterval(settings.frameRate.value_or(source.frameRate));
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
    const std::string chain = frameFilter_ + plan_.filter;
    const int parsed = avfilter_graph_parse_ptr(graph_.get(), chain.c_str(), &openInputs, &openOutputs, nullptr);
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

}  // namespace dorvex::VideoEncoder
