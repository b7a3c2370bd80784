#include "video/ffmpeg/FFmpegVideo.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include "video/ffmpeg/FFmpegSupport.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

namespace {

// The movie-header matrix that FFmpeg hands over as display-matrix side data: 16.16 fixed point
// for a, b, c, d, tx, ty (and 2.30 for the projective column, which we do not use).
AffineTransform transformFromDisplayMatrix(const std::int32_t* matrix) {
    constexpr double unit = 65536.0;
    return AffineTransform{matrix[0] / unit, matrix[1] / unit, matrix[3] / unit,
                           matrix[4] / unit, matrix[6] / unit, matrix[7] / unit};
}

double frameRateOf(const AVStream& stream) {
    for (AVRational rate : {stream.avg_frame_rate, stream.r_frame_rate}) {
        if (rate.num > 0 && rate.den > 0) return av_q2d(rate);
    }
    return 0;
}

bool isUsableDuration(double seconds) { return std::isfinite(seconds) && seconds > 0; }

}  // namespace

VideoSource ffmpeg::load(const std::filesystem::path& file) {
    ffmpeg::prepare();

    // Readable: the container opens and its streams can be described.
    AVFormatContext* opened = nullptr;
    if (int code = avformat_open_input(&opened, file.c_str(), nullptr, nullptr); code < 0) {
        if (code == ffmpeg::errorInvalidData()) throw VideoError::unreadable(i18n("格式不受支持或受版权保护"));
        throw VideoError::unreadable(ffmpeg::errorText(code));
    }
    ffmpeg::Input input(opened);
    if (int code = avformat_find_stream_info(input.get(), nullptr); code < 0) {
        throw VideoError::unreadable(ffmpeg::errorText(code));
    }

    // The first video stream; a cover picture in an audio file is no video.
    const AVStream* video = nullptr;
    const AVStream* audio = nullptr;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && !video && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) video = stream;
        if (type == AVMEDIA_TYPE_AUDIO && !audio) audio = stream;
    }
    if (!video) throw VideoError::noVideoTrack();
    if (!avcodec_find_decoder(video->codecpar->codec_id)) throw VideoError::unreadable(i18n("格式不受支持或受版权保护"));

    VideoSource source;
    source.url = file;

    const double containerSeconds =
        input->duration == ffmpeg::noTimestamp() ? std::numeric_limits<double>::quiet_NaN()
                                                 : double(input->duration) / AV_TIME_BASE;
    const double streamSeconds = ffmpeg::seconds(video->duration, video->time_base);

    source.naturalSize = PixelSize{video->codecpar->width, video->codecpar->height};
    std::size_t matrixSize = 0;
    if (const std::uint8_t* matrix = av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
        matrix && matrixSize >= 9 * sizeof(std::int32_t)) {
        source.transform = transformFromDisplayMatrix(reinterpret_cast<const std::int32_t*>(matrix));
    }
    source.frameRate = frameRateOf(*video);

    const AVColorTransferCharacteristic transfer = video->codecpar->color_trc;
    if (transfer != AVCOL_TRC_UNSPECIFIED && transfer != AVCOL_TRC_RESERVED && transfer != AVCOL_TRC_RESERVED0) {
        if (const char* name = av_color_transfer_name(transfer)) source.transferFunction = name;
    }

    if (audio) {
        source.audioChannels = std::max(0, audio->codecpar->ch_layout.nb_channels);
        source.audioSampleRate = std::max(0, audio->codecpar->sample_rate);
        if (source.audioChannels == 0 || source.audioSampleRate == 0) {
            source.audioChannels = 0;
            source.audioSampleRate = 0;
        }
    }

    std::error_code sizeError;
    const auto bytes = std::filesystem::file_size(file, sizeError);
    source.byteCount = sizeError ? 0 : std::int64_t(bytes);

    if (isUsableDuration(containerSeconds)) {
        source.duration = containerSeconds;
    } else if (isUsableDuration(streamSeconds)) {
        source.duration = streamSeconds;
    } else {
        throw VideoError::unreadable(i18n("无法确定视频时长"));
    }

    // A stream that does not say how large its pictures are cannot be re-encoded.
    if (source.naturalSize.width <= 0 || source.naturalSize.height <= 0) throw VideoError::unreadable(i18n("无法确定画面尺寸"));
    return source;
}

}  // namespace dorvex
