#include "platform/CopyBytes.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace dorvex {

bool writeAll(int output, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = ::write(output, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(std::size_t(put));
    }
    return true;
}

bool readExactly(int input, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(input, data, size);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += got;
        size -= std::size_t(got);
    }
    return true;
}

CopyResult copyBytes(int input, int output) {
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = ::read(input, buffer.data(), buffer.size());
        if (got == 0) return CopyResult::done;
        if (got < 0) {
            if (errno == EINTR) continue;
            return CopyResult::readFailed;
        }
        if (!writeAll(output, std::string_view(buffer.data(), std::size_t(got)))) return CopyResult::writeFailed;
    }
}

}  // namespace dorvex
