#pragma once
// Pass: private to the video pass. Everything one pass shares between its threads: the link to
// the caller, the status, the demuxer and muxer, the two pipes and the watchdog; the stop flag
// that FFmpeg's interrupt callback reads.

#include <atomic>
#include <memory>

#include "video/PumpWatchdog.h"
#include "video/ffmpeg/AudioPipe.h"
#include "video/ffmpeg/CallerLink.h"
#include "video/ffmpeg/Demuxer.h"
#include "video/ffmpeg/FFmpegSupport.h"
#include "video/ffmpeg/Muxer.h"
#include "video/ffmpeg/PassStatus.h"
#include "video/ffmpeg/VideoPipe.h"

namespace dorvex::VideoEncoder {

struct Pass {
    explicit Pass(CallerLink& callerLink) : link(callerLink), progress(callerLink) {}
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    bool cancelled() { return stopRequested.load() || link.cancelled(); }

    // The pass is over: pumps stop at their next step, waits and blocking reads end.
    void stop() {
        stopRequested.store(true);
        if (demuxer) demuxer->stop();
    }

    static int interrupt(void* opaque) {
        auto* pass = static_cast<Pass*>(opaque);
        return pass->stopRequested.load() || pass->link.cancelled() ? 1 : 0;
    }
    AVIOInterruptCB interruptCallback() { return AVIOInterruptCB{&Pass::interrupt, this}; }

    CallerLink& link;
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

}  // namespace dorvex::VideoEncoder
