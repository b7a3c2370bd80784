#pragma once
// Cancellation: how a running job learns that it should stop, and the text its result then
// carries. Every compressor polls one CancelQuery between steps and ends with cancelledMessage().

#include <functional>
#include <string>
#include <string_view>

#include "dorvex/text/Translation.h"

namespace dorvex {

// Answers true once the job was cancelled; callable from the job's threads.
using CancelQuery = std::function<bool()>;

// The message of every cancelled job, as written ("已取消"); it is shown in the user's language.
inline constexpr std::string_view cancelledText = i18nMark("已取消");

// The message a cancelled job's result carries, in the user's language.
inline std::string cancelledMessage() { return i18n(cancelledText.data()); }

// Whether a failure's message says the job was cancelled (in any language the result was made in
// this run, or as written).
inline bool isCancellation(std::string_view message) {
    return message == cancelledText || message == i18n(cancelledText.data());
}

}  // namespace dorvex
