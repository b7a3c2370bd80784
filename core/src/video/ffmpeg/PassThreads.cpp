#include "video/ffmpeg/PassThreads.h"

#include <cmath>

#include "video/ffmpeg/Pass.h"

namespace dorvex::VideoEncoder {

void pump(Pass& pass, Track track, const std::shared_ptr<PumpWatchdog::Exit>& exit) {
    for (;;) {
        if (exit->isClaimed()) break;  // the watchdog has stopped the pass
        if (pass.cancelled()) break;
        const Step step = track == Track::video ? pass.video->step() : pass.audio->step();
        if (step.appended) {
            pass.watchdog->markSample();
            if (track == Track::video && pass.endSeconds > 0 && std::isfinite(step.sourceSeconds)) {
                pass.progress.report(step.sourceSeconds / pass.endSeconds);
            }
        }
        if (step.finished) break;
    }
    pass.demuxer->close(track);
    if (exit->claim()) exit->resume();
}

}  // namespace dorvex::VideoEncoder
