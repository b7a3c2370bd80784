#pragma once
// SearchStopReason: why the byte-limit search ended, as a result reports it.

#include <optional>
#include <string_view>

namespace dorvex {

enum class SearchStopReason {
    alreadyMet,
    converged,
    roundBudgetExhausted,
    encodeBudgetExhausted,
    unreachable,
    cancelled,
    encodeFailed,
};

// The stored names: "alreadyMet", "converged", …
std::string_view rawValue(SearchStopReason reason);
std::optional<SearchStopReason> stopReasonFromRawValue(std::string_view raw);

}  // namespace dorvex
