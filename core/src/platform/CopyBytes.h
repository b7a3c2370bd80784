#pragma once
// Copies what is left of one open file into another: the byte loop that the trash's copies and
// the output planner's copies share.

namespace dorvex {

// How a copy ended; on a failure errno tells why.
enum class CopyResult { done, readFailed, writeFailed };

// Reads `input` to its end and writes everything to `output` (interrupted calls are retried).
CopyResult copyBytes(int input, int output);

}  // namespace dorvex
