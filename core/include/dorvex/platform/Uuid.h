#pragma once
// Uuid: a 128-bit identifier in its standard text form (8-4-4-4-12 hexadecimal digits). Written
// in upper case, read in either case; anything else is not a UUID. Presets are identified by one,
// and the selected preset is remembered by its text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dorvex {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    bool operator==(const Uuid&) const = default;

    // A fresh random (version 4, RFC 4122 variant) identifier, from the kernel's random source
    // (getrandom): unpredictable, as names in a shared temporary folder must be.
    static Uuid random();
    // The identifier written in `text`; nullopt for anything but the 36-character standard form.
    static std::optional<Uuid> parse(std::string_view text);
    // The 36-character upper-case text form, e.g. "00000000-0000-0000-0000-000000000001".
    std::string text() const;
};

}  // namespace dorvex

template <>
struct std::hash<dorvex::Uuid> {
    std::size_t operator()(const dorvex::Uuid& id) const noexcept;
};
