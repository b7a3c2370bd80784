#include "video/ffmpeg/FFmpegVideo.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <exception>

#include "video/VideoSource.h"
#include "video/ffmpeg/Demuxer.h"
#include "video/ffmpeg/FFmpegSupport.h"

namespace dorvex {

namespace {

struct ScalerDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// The first frame of the first video stream (a cover picture is no video), or null.
ffmpeg::Frame firstFrame(const std::filesystem::path& file) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, file.c_str(), nullptr, nullptr) < 0) return nullptr;
    ffmpeg::Input input(opened);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
    int index = -1;
    for (unsigned i = 0; i < input->nb_streams && index < 0; ++i) {
        const AVStream* stream = input->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            index = int(i);
        }
    }
    if (index < 0) return nullptr;
    ffmpeg::Codec decoder = VideoEncoder::openDecoder(input->streams[index]);
    if (!decoder) return nullptr;

    ffmpeg::Packet packet = ffmpeg::makePacket();
    ffmpeg::Frame frame = ffmpeg::makeFrame();
    bool draining = false;
    for (;;) {
        const int received = avcodec_receive_frame(decoder.get(), frame.get());
        if (received == 0) return frame;
        if (received != ffmpeg::errorAgain() || draining) return nullptr;
        const int read = av_read_frame(input.get(), packet.get());
        if (read < 0) {
            draining = true;
            avcodec_send_packet(decoder.get(), nullptr);
            continue;
        }
        if (packet->stream_index == index) avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
    }
}

// The stored picture `pixels` (width × height RGBA) as shown through `transform`: each pixel's
// centre is mapped and the result moved so that it starts at the origin. Only quarter turns and
// mirrors matter here; a transform that is neither leaves the picture as stored.
Thumbnail turned(Thumbnail stored, const AffineTransform& transform) {
    const double a = std::round(transform.a), b = std::round(transform.b);
    const double c = std::round(transform.c), d = std::round(transform.d);
    const bool axisAligned = std::abs(a * d - b * c) == 1 && (a == 0) == (d == 0) && (b == 0) == (c == 0);
    if (!axisAligned || (a == 1 && d == 1)) return stored;

    const int w = stored.width, h = stored.height;
    Thumbnail shown;
    shown.width = b != 0 ? h : w;
    shown.height = b != 0 ? w : h;
    shown.rgba.resize(stored.rgba.size());
    const double minX = std::min(0.0, a * w) + std::min(0.0, c * h);
    const double minY = std::min(0.0, b * w) + std::min(0.0, d * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int toX = int(std::floor(a * (x + 0.5) + c * (y + 0.5) - minX));
            const int toY = int(std::floor(b * (x + 0.5) + d * (y + 0.5) - minY));
            std::copy_n(&stored.rgba[(std::size_t(y) * w + x) * 4], 4,
                        &shown.rgba[(std::size_t(toY) * shown.width + toX) * 4]);
        }
    }
    return shown;
}

}  // namespace

std::optional<Thumbnail> ffmpeg::thumbnail(const std::filesystem::path& file, int maxSide) {
    if (maxSide < 1) return std::nullopt;
    try {
        const VideoSource source = ffmpeg::load(file);
        ffmpeg::Frame frame = firstFrame(file);
        if (!frame || frame->width < 1 || frame->height < 1) return std::nullopt;

        const PixelSize size = thumbnailSize(PixelSize{frame->width, frame->height}, maxSide);
        std::unique_ptr<SwsContext, ScalerDeleter> scaler(
            sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), size.width, size.height,
                           AV_PIX_FMT_RGBA, SWS_AREA, nullptr, nullptr, nullptr));
        if (!scaler) return std::nullopt;
        Thumbnail stored{size.width, size.height,
                         std::vector<std::uint8_t>(std::size_t(size.width) * std::size_t(size.height) * 4)};
        std::uint8_t* planes[4] = {stored.rgba.data(), nullptr, nullptr, nullptr};
        int strides[4] = {size.width * 4, 0, 0, 0};
        if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) != size.height) {
            return std::nullopt;
        }
        return turned(std::move(stored), source.transform);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace dorvex
