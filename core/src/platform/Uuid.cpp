#include "dorvex/platform/Uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace dorvex {

namespace {

constexpr bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Uuid Uuid::random() {
    Uuid id;
    std::size_t filled = 0;
    while (filled < id.bytes.size()) {
        const ssize_t got = ::getrandom(id.bytes.data() + filled, id.bytes.size() - filled, 0);
        if (got > 0) {
            filled += std::size_t(got);
        } else if (errno != EINTR) {
            std::abort();  // only a kernel without getrandom (before 3.17) fails here
        }
    }
    id.bytes[6] = std::uint8_t((id.bytes[6] & 0x0F) | 0x40);  // version 4
    id.bytes[8] = std::uint8_t((id.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return id;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid id;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0 || isDashPosition(i + 1)) return std::nullopt;
        id.bytes[byte++] = std::uint8_t(high * 16 + low);
        i += 2;
    }
    return id;
}

std::string Uuid::text() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace dorvex

std::size_t std::hash<dorvex::Uuid>::operator()(const dorvex::Uuid& id) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (std::uint8_t b : id.bytes) h = (h ^ b) * 1099511628211ull;
    return h;
}
