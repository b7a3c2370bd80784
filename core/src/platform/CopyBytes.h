#pragma once
// Writing bytes to an open file to the end, and reading a given count, interrupted calls retried: the loops that stored
// documents, intermediates, the trash's records and copies, and the output planner's copies share.

#include <cstddef>
#include <string_view>

namespace dorvex {

// How a copy ended; on a failure errno tells why.
enum class CopyResult { done, readFailed, writeFailed };

// Writes all of `data` to `output`; false (errno telling why) when a write fails.
bool writeAll(int output, std::string_view data);

// Reads exactly `size` bytes into `data`; false when the input ends or fails first.
bool readExactly(int input, char* data, std::size_t size);

// Reads `input` to its end and writes everything to `output`.
CopyResult copyBytes(int input, int output);

}  // namespace dorvex
