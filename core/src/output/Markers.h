#pragma once
// The markers of an output: both marker attributes and the source record, written through a
// setter so that a path or an open file can carry them.

#include <array>
#include <filesystem>
#include <optional>
#include <string_view>

#include "dorvex/output/OutputPlanner.h"
#include "output/SameFile.h"

namespace dorvex::OutputPlanner {

inline constexpr std::array<std::string_view, 2> kOptimizedAttributes{optimizedAttribute,
                                                                      legacyOptimizedAttribute};

// Sets the markers and the source record through `set(name, value)`; failures are ignored.
template <typename Setter>
void writeMarkers(Setter&& set, std::string_view value, const std::optional<std::filesystem::path>& source) {
    for (std::string_view name : kOptimizedAttributes) set(name, value);
    if (source) set(sourceAttribute, std::string_view(absoluteNormal(*source).native()));
}

}  // namespace dorvex::OutputPlanner
