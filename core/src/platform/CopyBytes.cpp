#include "platform/CopyBytes.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace dorvex {

CopyResult copyBytes(int input, int output) {
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = ::read(input, buffer.data(), buffer.size());
        if (got == 0) return CopyResult::done;
        if (got < 0) {
            if (errno == EINTR) continue;
            return CopyResult::readFailed;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(output, buffer.data() + done, std::size_t(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return CopyResult::writeFailed;
            }
            done += put;
        }
    }
}

}  // namespace dorvex
