#include "video/ffmpeg/EncoderOutput.h"

#include "video/ffmpeg/Pass.h"

namespace dorvex::VideoEncoder {

using ffmpeg::errorText;

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
    // x265 and x264 leave a picture's duration unset; without it the file's last picture would
    // have none, and the track would be one picture short.
    const AVCodecContext& encoder = *context;
    if (packet_->duration <= 0 && encoder.codec_type == AVMEDIA_TYPE_VIDEO && encoder.framerate.num > 0 &&
        encoder.framerate.den > 0) {
        packet_->duration = av_rescale_q(1, av_inv_q(encoder.framerate), encoder.time_base);
    }
    const int written = pass_.muxer.write(packet_.get(), context->time_base, stream);
    av_packet_unref(packet_.get());
    if (written < 0) {
        pass_.status.writerFailed(errorText(written));
        return false;
    }
    return true;
}

}  // namespace dorvex::VideoEncoder
