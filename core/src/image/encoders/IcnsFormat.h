#pragma once

// The ICNS container's element types, signatures and byte order, shared by its reader and writer.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace dorvex::IcnsFormat {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Raw RGB icons and the 8-bit masks that carry their alpha.
struct RawType {
    std::string_view rgb;
    std::string_view mask;
    int side;
};
constexpr std::array<RawType, 4> rawTypes{{
    {"is32", "s8mk", 16},
    {"il32", "l8mk", 32},
    {"ih32", "h8mk", 48},
    {"it32", "t8mk", 128},
}};

struct SizedType {
    std::string_view type;
    int side;
};
// Types whose payload may be "ARGB" planes (they may also hold PNG or JPEG 2000).
constexpr std::array<SizedType, 6> argbTypes{{
    {"ic04", 16}, {"ic05", 32}, {"icsb", 18}, {"icsB", 36}, {"sb24", 24}, {"SB24", 48},
}};
// Types defined as "PNG or JPEG 2000": a JPEG 2000 payload of these may become a PNG one.
constexpr std::array<std::string_view, 11> pngCapableTypes{
    "icp4", "icp5", "icp6", "ic07", "ic08", "ic09", "ic10", "ic11", "ic12", "ic13", "ic14",
};

constexpr std::string_view tableOfContentsType = "TOC ";
constexpr std::size_t elementHeaderBytes = 8;
// it32 payloads open with four bytes (zero in practice) before the coded planes.
constexpr std::size_t it32PrefixBytes = 4;
// Icons go up to 1024 pixels a side; anything claiming far more is not decoded, so that a
// hostile header cannot make us allocate gigabytes.
constexpr int maxIconSide = 4096;

constexpr std::array<std::uint8_t, 8> pngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::array<std::uint8_t, 12> jp2Signature{0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', '\r', '\n', 0x87, '\n'};
constexpr std::array<std::uint8_t, 4> j2kCodestreamSignature{0xFF, 0x4F, 0xFF, 0x51};
constexpr std::array<std::uint8_t, 4> argbPrefix{'A', 'R', 'G', 'B'};

template <std::size_t N>
inline bool startsWith(ByteView bytes, const std::array<std::uint8_t, N>& prefix) {
    return bytes.size() >= N && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

inline const RawType* rawTypeOf(std::string_view type) {
    for (const RawType& raw : rawTypes) {
        if (raw.rgb == type) return &raw;
    }
    return nullptr;
}

inline bool isMaskType(std::string_view type) {
    return std::any_of(rawTypes.begin(), rawTypes.end(), [&](const RawType& raw) { return raw.mask == type; });
}

inline std::optional<int> argbSideOf(std::string_view type) {
    for (const SizedType& sized : argbTypes) {
        if (sized.type == type) return sized.side;
    }
    return std::nullopt;
}

inline bool acceptsPng(std::string_view type) {
    return std::find(pngCapableTypes.begin(), pngCapableTypes.end(), type) != pngCapableTypes.end();
}

inline std::uint32_t readBigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

inline void writeBigEndian32(std::uint8_t* p, std::uint32_t value) {
    p[0] = std::uint8_t(value >> 24);
    p[1] = std::uint8_t(value >> 16);
    p[2] = std::uint8_t(value >> 8);
    p[3] = std::uint8_t(value);
}

// A four-byte type for messages: printable ASCII as is, other bytes as \xNN.
inline std::string printableType(ByteView type) {
    std::string text;
    for (std::uint8_t byte : type) {
        if (byte >= 0x20 && byte < 0x7F) {
            text += char(byte);
        } else {
            text += fmt::format("\\x{:02X}", byte);
        }
    }
    return text;
}

}  // namespace dorvex::IcnsFormat
