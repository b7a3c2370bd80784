#include "dorvex/model/SearchStopReason.h"

#include <array>
#include <cstddef>

namespace dorvex {

namespace {
constexpr std::array<std::string_view, 7> kStopReasonNames{
    "alreadyMet", "converged", "roundBudgetExhausted", "encodeBudgetExhausted",
    "unreachable", "cancelled", "encodeFailed"};
}

std::string_view rawValue(SearchStopReason reason) { return kStopReasonNames[std::size_t(reason)]; }

std::optional<SearchStopReason> stopReasonFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < kStopReasonNames.size(); ++i) {
        if (kStopReasonNames[i] == raw) return SearchStopReason(i);
    }
    return std::nullopt;
}

}  // namespace dorvex
