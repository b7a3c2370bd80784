#include "image/encoders/IcnsPackBits.h"

#include <algorithm>
#include <limits>

namespace dorvex {

namespace {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr std::size_t maxLiteral = 128;
constexpr std::size_t minRun = 3;
constexpr std::size_t maxRun = 130;

// The shortest coding of one plane (dynamic programming over literal and run lengths).
void packRunsInto(ByteView plane, Bytes& out) {
    const std::size_t n = plane.size();
    if (n == 0) return;
    std::vector<std::size_t> runAhead(n);  // equal bytes from here on, this one included
    runAhead[n - 1] = 1;
    for (std::size_t i = n - 1; i-- > 0;) runAhead[i] = plane[i] == plane[i + 1] ? runAhead[i + 1] + 1 : 1;

    struct Step {
        std::size_t cost = 0;
        std::size_t length = 0;
        bool run = false;
    };
    std::vector<Step> best(n + 1);
    for (std::size_t i = n; i-- > 0;) {
        Step step{std::numeric_limits<std::size_t>::max(), 0, false};
        for (std::size_t length = 1; length <= std::min(maxLiteral, n - i); ++length) {
            const std::size_t cost = 1 + length + best[i + length].cost;
            if (cost < step.cost) step = {cost, length, false};
        }
        for (std::size_t length = minRun; length <= std::min(maxRun, runAhead[i]); ++length) {
            const std::size_t cost = 2 + best[i + length].cost;
            if (cost < step.cost) step = {cost, length, true};
        }
        best[i] = step;
    }
    for (std::size_t i = 0; i < n; i += best[i].length) {
        const Step& step = best[i];
        if (step.run) {
            out.push_back(std::uint8_t(step.length + 125));
            out.push_back(plane[i]);
        } else {
            out.push_back(std::uint8_t(step.length - 1));
            out.insert(out.end(), plane.begin() + std::ptrdiff_t(i), plane.begin() + std::ptrdiff_t(i + step.length));
        }
    }
}

}  // namespace

// Decodes `count` bytes; planes are read as one stream, so a run may cross from one plane into
// the next. nullopt when the input ends first. Output past `count` is dropped.
std::optional<Bytes> unpackRuns(ByteView input, std::size_t count) {
    Bytes output;
    output.reserve(count);
    std::size_t at = 0;
    while (output.size() < count) {
        if (at >= input.size()) return std::nullopt;
        const std::uint8_t control = input[at++];
        const std::size_t room = count - output.size();
        if (control < 0x80) {
            const std::size_t length = std::size_t(control) + 1;
            if (input.size() - at < length) return std::nullopt;
            const auto first = input.begin() + std::ptrdiff_t(at);
            output.insert(output.end(), first, first + std::ptrdiff_t(std::min(length, room)));
            at += length;
        } else {
            if (at >= input.size()) return std::nullopt;
            const std::size_t length = std::size_t(control) - 125;
            output.insert(output.end(), std::min(length, room), input[at++]);
        }
    }
    return output;
}

// Each plane coded on its own, so that no run crosses planes.
Bytes packPlanes(ByteView planes, std::size_t planeBytes) {
    Bytes out;
    for (std::size_t start = 0; start < planes.size(); start += planeBytes) {
        packRunsInto(planes.subspan(start, planeBytes), out);
    }
    return out;
}

}  // namespace dorvex
