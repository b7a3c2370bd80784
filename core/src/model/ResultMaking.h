#pragma once

// The steps every compressor ends a job with: its result, carrying the status it came to.

#include <string>
#include <utility>

#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionResult.h"

namespace dorvex::ResultMaking {

// `result` with `status` as its outcome.
inline CompressionResult finished(CompressionResult result, CompressionResult::Status status) {
    result.status = std::move(status);
    return result;
}

// A failure with `text` as what the user reads.
inline CompressionResult::Failed failure(std::string text) { return CompressionResult::Failed{std::move(text)}; }

// `result` ended by the user's cancelling.
inline CompressionResult cancelled(CompressionResult result) {
    return finished(std::move(result), failure(cancelledMessage()));
}

}  // namespace dorvex::ResultMaking
