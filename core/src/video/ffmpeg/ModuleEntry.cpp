// The video module's one exported symbol: the table through which the engine reaches the FFmpeg
// code. Built into dorvex-video.so only; everything else in the module stays hidden in it.

#include <fmt/format.h>

#include "dorvex/text/Translation.h"
#include "video/VideoModule.h"
#include "video/ffmpeg/FFmpegSupport.h"
#include "video/ffmpeg/FFmpegVideo.h"

namespace dorvex {

namespace {

VideoModule::Library library() {
    VideoModule::Library library;
    const unsigned codec = avcodec_version();
    library.version = fmt::format("{} (libavcodec {}.{}.{})", av_version_info(), AV_VERSION_MAJOR(codec),
                                  AV_VERSION_MINOR(codec), AV_VERSION_MICRO(codec));
    for (const char* name : {"libx265", "libx264", "aac"}) {
        if (avcodec_find_encoder_by_name(name) != nullptr) library.encoders.emplace_back(name);
    }
    return library;
}

constexpr VideoModule::Entry entry{VideoModule::layoutOf(), ffmpeg::load, ffmpeg::encode, ffmpeg::thumbnail, library,
                                   Translation::followProcess};

}  // namespace

}  // namespace dorvex

extern "C" __attribute__((visibility("default"))) const dorvex::VideoModule::Entry* dorvex_video_module() {
    return &dorvex::entry;
}
