#include "video/ffmpeg/Demuxer.h"

namespace dorvex::VideoEncoder {

using ffmpeg::errorText;

Demuxer::Read Demuxer::next(Track track, AVPacket* packet) {
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

Decoding::Result Decoding::next(AVFrame* frame) {
    for (;;) {
        const int code = avcodec_receive_frame(decoder_.get(), frame);
        if (code == 0) return Result::frame;
        if (code == ffmpeg::errorEndOfFile()) return Result::end;
        // Damaged data is skipped, as players do; the stream goes on with the next packet.
        if (code != ffmpeg::errorAgain() && drained_) return Result::end;
        switch (demuxer_.next(track_, packet_.get())) {
            case Demuxer::Read::packet:
                avcodec_send_packet(decoder_.get(), packet_.get());
                av_packet_unref(packet_.get());
                break;
            case Demuxer::Read::end:
                if (drained_) return Result::end;
                drained_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
                break;
            case Demuxer::Read::stopped:
                return Result::stopped;
            case Demuxer::Read::failed:
                return Result::failed;
        }
    }
}

}  // namespace dorvex::VideoEncoder
