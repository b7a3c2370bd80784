#pragma once

// The run-length coding of ICNS icon planes.
// A control byte below 0x80 copies the next control + 1 bytes (1…128); from 0x80 up it repeats
// the next byte control − 125 times (3…130).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dorvex {

// Decodes `count` bytes; planes are read as one stream, so a run may cross from one plane into
// the next. nullopt when the input ends first. Output past `count` is dropped.
std::optional<std::vector<std::uint8_t>> unpackRuns(std::span<const std::uint8_t> input, std::size_t count);

// Each plane coded on its own, so that no run crosses planes.
std::vector<std::uint8_t> packPlanes(std::span<const std::uint8_t> planes, std::size_t planeBytes);

}  // namespace dorvex
