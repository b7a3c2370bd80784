#pragma once
// VideoEncoder: one encode pass from a source video to an MP4 or QuickTime file — the video
// re-encoded with the codec, rate and pixel size asked (rotation kept, colours as DisplayMatch
// plans them), the audio re-encoded to AAC with at most two channels at 48 kHz at most — and its
// size in bytes. The pass is guarded by a PumpWatchdog against a stall and answers cancellation
// within one watchdog tick; a cancelled or failed pass leaves no output file behind.
//
// Threads of a pass: the calling thread sets up, waits and finishes; a video pump and an audio
// pump (each a thread of its own, fed by one shared demuxer) decode, convert, encode and mux;
// a finishing thread writes the file's index; the watchdog has its ticker. See VideoEncoder.cpp
// for the locks.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "video/VideoSettings.h"
#include "video/VideoSource.h"

namespace dorvex::VideoEncoder {

using ProgressHandler = std::function<void(double fraction)>;  // any thread; 0…1, growing
using CancelQuery = std::function<bool()>;                      // any thread

// Encodes `source` to `output` (".mp4" in any letter case gives MP4, anything else QuickTime).
// Progress is reported in whole percents, strictly growing, ending with 1 on success. Returns the
// size of the written file (0 when it cannot be read). Throws VideoError. Neither callback is
// called after the function has returned.
std::int64_t encode(const VideoSource& source, const VideoEncodeSettings& settings,
                    const std::filesystem::path& output, double stallTimeoutSeconds,
                    double watchdogIntervalSeconds, const ProgressHandler& progress,
                    const CancelQuery& isCancelled);

}  // namespace dorvex::VideoEncoder
