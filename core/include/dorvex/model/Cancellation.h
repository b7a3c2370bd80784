#pragma once
// Cancellation: how a running job learns that it should stop, and the text its result then
// carries. Every compressor polls one CancelQuery between steps and ends with "已取消".

#include <functional>
#include <string_view>

namespace dorvex {

// Answers true once the job was cancelled; callable from the job's threads.
using CancelQuery = std::function<bool()>;

inline constexpr std::string_view cancelledText = "已取消";

}  // namespace dorvex
