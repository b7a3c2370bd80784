#pragma once
// Compressor: the engine's entry points. run() compresses one image with one option set,
// synchronously, through the whole decision flow — read the source, resolve the format, the
// lossless-JPEG-XL rules, the first encode at the level's quality, the byte-limit search, the
// no-savings rule, and the output written through the planner. It never throws: every failure
// is a result with status failed and the text the user sees; a cancellation is "已取消".

#include <filesystem>
#include <functional>

#include "CompressionEvent.h"
#include "CompressionOptions.h"
#include "CompressionResult.h"
#include "Toolchain.h"

namespace dorvex::Compressor {

using CancelQuery = std::function<bool()>;

inline constexpr std::string_view cancelledText = "已取消";

// Events go to `onEvent` on the calling thread, in order: started, then one attempt per encode
// (indices 0, 1, 2 …). `isCancelled` is polled between steps and before every search encode.
CompressionResult run(const std::filesystem::path& source, const CompressionOptions& options,
                      const Toolchain& toolchain, const EventHandler& onEvent, const CancelQuery& isCancelled);

}  // namespace dorvex::Compressor
