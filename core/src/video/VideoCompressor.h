#pragma once
// VideoCompressor: compresses one MP4 or MOV file. It probes the source, encodes it at the
// quality of the job's level and, when the job's video byte limit is exceeded, searches up to
// three further qualities and then up to three average bit rates (at smaller pixel sizes when the
// rate cannot carry the frame); when none fits, up to three best-effort encodes follow with lower
// audio, then fewer frames, then fewer pixels (VideoProfile::bestEffort). It keeps the fit closest
// under the limit, or else the attempt nearest above it ("unreachable"), and hands it to the
// output planner. At most ten encodes; the work happens in a private temporary folder
// ("dorvex-video-" + a UUID) that is gone when the call returns.

#include <filesystem>
#include <functional>

#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/output/OutputPlanner.h"

namespace dorvex::VideoCompressor {

// Blocks the calling thread for the whole job (the encode passes start threads of their own).
// Never throws: every failure is a result with status failed and its text, a cancellation is
// failed with "已取消". Events may arrive on any thread; `isCancelled` is asked from any thread.
CompressionResult compress(const std::filesystem::path& source, const CompressionOptions& options,
                           const EventHandler& onEvent, const std::function<bool()>& isCancelled);

// compress() up to the output, which goes to `handoff` instead of being placed (see
// ImagePipeline::produce).
CompressionResult produce(const std::filesystem::path& source, const CompressionOptions& options,
                          const EventHandler& onEvent, const std::function<bool()>& isCancelled,
                          const OutputPlanner::Handoff& handoff);

}  // namespace dorvex::VideoCompressor
