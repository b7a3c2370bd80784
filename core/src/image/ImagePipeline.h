#pragma once
// ImagePipeline: compresses one image with one option set, synchronously, through the whole
// decision flow — read the source, resolve the format, the lossless-JPEG-XL rules, the first
// encode at the level's quality, the byte-limit search, the no-savings rule, and the output
// written through the planner. It never throws: every failure is a result with status failed and
// the text the user sees; a cancellation is "已取消".

#include <filesystem>

#include "dorvex/image/Toolchain.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/output/OutputPlanner.h"

namespace dorvex::ImagePipeline {

// Events go to `onEvent` on the calling thread, in order: started, then one attempt per encode
// (indices 0, 1, 2 …). `isCancelled` is polled between steps, before every search encode and
// while an external encoder runs (which it then ends).
CompressionResult run(const std::filesystem::path& source, const CompressionOptions& options,
                      const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled);

// run() up to the output: the checked output is given to `handoff` (in its work folder, which is
// gone when this returns) instead of being placed, and the result is a success once `handoff`
// has returned. What `handoff` throws fails the job with its text.
CompressionResult produce(const std::filesystem::path& source, const CompressionOptions& options,
                          const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled,
                          const OutputPlanner::Handoff& handoff);

}  // namespace dorvex::ImagePipeline
