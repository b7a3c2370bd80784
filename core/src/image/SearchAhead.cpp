#include "image/SearchAhead.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "image/EncodeSession.h"
#include "dorvex/platform/Processors.h"

namespace dorvex::SearchAhead {

namespace {

// The runnable threads of the whole machine: the number before the slash of /proc/loadavg's
// fourth field ("0.52 0.58 0.59 3/467 12345").
std::optional<int> runnableThreads() {
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    int running = 0;
    char slash = 0;
    if (!(in >> one >> five >> fifteen >> running >> slash) || slash != '/' || running < 0) return std::nullopt;
    return running;
}

// How fast an output's log size falls per quality step below the level's quality, before two
// sizes at one pixel size are known: mozjpeg's on photos (0.014-0.034 between 74 and 34 on the
// test photos, 0.019 over the whole span); the search's own default for the others.
double slopeOf(OutputFormat format) { return format == OutputFormat::jpeg ? 0.019 : 0.03; }

}  // namespace

int idleProcessors() {
    int runnable = 0;
    for (int reading = 0; reading < 3; ++reading) {
        if (reading) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::optional<int> now = runnableThreads();
        if (!now) return 0;
        runnable = std::max(runnable, *now);
    }
    return std::max(0, int(Processors::usable()) - runnable);
}

SizeTargetSearch::Outcome run(const SizeTargetSearch& search, EncodeSession& session,
                              const SizeTargetSearch::EncodeFunction& encode, const CancelQuery& isCancelled,
                              const std::function<int()>& idle) {
    using Request = SizeTargetSearch::Request;
    std::vector<SizeTargetSearch::Answer> answered;
    const auto ahead = [&](int index, int quality, std::optional<PixelSize> pixelSize) {
        const Request request{quality, pixelSize};
        std::vector<Request> likely = search.likelyNext(answered, request, slopeOf(session.format()));
        if (likely.size() > std::size_t(maxAhead)) likely.resize(std::size_t(maxAhead));
        std::vector<std::pair<int, std::optional<PixelSize>>> wanted{{quality, pixelSize}};
        for (const Request& r : likely) wanted.emplace_back(r.quality, r.pixelSize);
        session.keepAhead(wanted);

        if (!likely.empty()) {
            // The attempt asked for runs ahead already, or is about to run here: it takes one
            // processor either way. The calling thread then only waits.
            int free = idle() + (session.runsAhead(quality, pixelSize) ? 1 : 0);
            for (const Request& r : likely) {
                if (free < 1 || session.runningAhead() >= maxAhead + 1) break;
                const int before = session.runningAhead();
                if (session.encodeAhead(r.quality, r.pixelSize) && session.runningAhead() > before) free -= 1;
            }
        }
        const std::optional<std::int64_t> bytes = encode(index, quality, pixelSize);
        answered.push_back({request, bytes});
        return bytes;
    };
    struct EndAhead {
        EncodeSession& session;
        ~EndAhead() { session.endAhead(); }
    } endAhead{session};
    return search.run(ahead, isCancelled);
}

}  // namespace dorvex::SearchAhead
