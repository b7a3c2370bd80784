#include "dorvex/image/SizeTargetSearch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <variant>

namespace dorvex {

namespace {

using StopReason = SizeTargetSearch::StopReason;
using Attempt = SizeTargetSearch::Attempt;
using Outcome = SizeTargetSearch::Outcome;

constexpr double kAimOffset = 0.015113637810048184;     // ln(1 / 0.985): aim just under the limit
constexpr double kLowAimOffset = 0.05129329438755058;   // ln(1 / 0.95): where probes and predictions aim
constexpr double kDefaultSlope = 0.03;                  // log bytes per quality step, before we know better
constexpr double kMinimumSlope = 0.0025;                // flatter than this: bisect instead
constexpr double kStallThreshold = 0.005;               // log sizes this close count as no progress
constexpr double kDownscaleMargin = 0.9;                // on the side length of the predicted size

// A quality computed in double precision, kept inside the int range before conversion (a value
// that is not a number at all, which only non-finite inputs produce, becomes 0).
int toQuality(double q) {
    if (std::isnan(q)) return 0;
    constexpr double lo = double(std::numeric_limits<int>::min());
    constexpr double hi = double(std::numeric_limits<int>::max());
    return int(std::clamp(q, lo, hi));
}

// (a + b + extra) / 2, truncating, without overflowing when qualities sit near the int limits.
int halfway(int a, int b, int extra = 0) {
    return int((std::int64_t(a) + std::int64_t(b) + extra) / 2);
}

// Keeps what the search has seen across rounds: every attempt, the preferred fitting one, and
// the smallest one (the fallback when nothing fits).
struct Recorder {
    std::int64_t maxBytes;
    std::vector<Attempt> attempts;
    std::optional<Attempt> bestFeasible;
    Attempt smallest;

    void record(const Attempt& attempt) {
        attempts.push_back(attempt);
        if (attempt.bytes <= maxBytes && prefer(attempt)) bestFeasible = attempt;
        if (attempt.bytes < smallest.bytes) smallest = attempt;
    }

    // A fit from a larger pixel size (an earlier round) always wins; within a round the higher
    // quality, then the larger output.
    bool prefer(const Attempt& candidate) const {
        if (!bestFeasible) return true;
        const Attempt& current = *bestFeasible;
        if (current.round == candidate.round) {
            return candidate.quality > current.quality ||
                   (candidate.quality == current.quality && candidate.bytes > current.bytes);
        }
        return current.round > candidate.round;
    }
};

enum class Side { none, lo, hi };

// The state of the search at one pixel size.
struct Round {
    int hiQ = 0;
    double hiLogB = 0;
    double fHi = 0;
    int prevHiQ = 0;
    double prevHiLogB = 0;
    bool noPrevHi = true;
    int loQ = 0;
    double loLogB = 0;
    double fLo = 0;
    int prevLoQ = 0;
    double prevLoLogB = 0;
    bool loFoundWhileDescending = true;
    Side lastSide = Side::none;
    bool ascending = false;
    bool stalledNow = false;
    bool stalledSaved = false;
    int encodes = 0;
    std::vector<std::pair<int, double>> samples;

    bool descending = true;  // the descending phase, left for good once a step answers
    int number = 0;          // 0: source size
    std::optional<PixelSize> pixelSize;  // none in round 0
    int width = 0;
    int height = 0;
};

// What a bracketing or ascending step answers: the next quality, or a reason to end the round.
using Step = std::variant<int, StopReason>;

class Runner {
public:
    Runner(const SizeTargetSearch& search, const SizeTargetSearch::EncodeFunction& encode,
           const SizeTargetSearch::CancelQuery& isCancelled)
        : s_(search),
          encode_(encode),
          isCancelled_(isCancelled),
          recorder_{search.maxBytes, {}, std::nullopt, Attempt{0, search.initialQuality, std::nullopt, search.initialBytes, 0}},
          logLimit_(std::log(double(search.maxBytes))),
          aim_(logLimit_ - kAimOffset),
          lowAim_(logLimit_ - kLowAimOffset),
          acceptLine_(logLimit_ + std::log(search.budget.acceptRatio)),
          ceiling_(std::max(search.ceilingQuality, 1)),
          floor_(std::min(std::max(search.floorQuality, 1), ceiling_)) {}

    Outcome run() {
        const double initialLogB = std::log(double(s_.initialBytes));
        const int hiQ0 = int(std::min(std::int64_t(ceiling_) + 1, std::int64_t(s_.initialQuality)));

        round_ = Round{};
        round_.samples = {{hiQ0, initialLogB}};
        round_.hiQ = hiQ0;
        round_.hiLogB = initialLogB;
        round_.fHi = initialLogB - aim_;
        if (s_.basePixelSize) {
            round_.width = s_.basePixelSize->width;
            round_.height = s_.basePixelSize->height;
        }

        std::optional<int> next;
        if (s_.budget.maxExtraEncodesPerRound >= 1 && floor_ < hiQ0) next = descendingProbe();

        for (;;) {
            if (next) {
                RoundEnd end = encodeLoop(*next);
                if (end.finished) return finish(end.reason);
                if (recorder_.bestFeasible) return finish(end.reason);
            }
            // Nothing fits at this size: try a smaller one.
            auto downscaled = downscale();
            if (std::holds_alternative<StopReason>(downscaled)) return finish(std::get<StopReason>(downscaled));
            next = std::get<int>(downscaled);
        }
    }

private:
    struct RoundEnd {
        StopReason reason;
        bool finished;  // the whole search stops here (budget, cancellation, failure)
    };

    Outcome finish(StopReason reason) const {
        Outcome outcome;
        outcome.chosen = recorder_.bestFeasible.value_or(recorder_.smallest);
        outcome.attempts = recorder_.attempts;
        outcome.encodeCount = encodeCount_;
        outcome.stopReason = reason;
        outcome.maxSizeMet = outcome.chosen.bytes <= s_.maxBytes;
        return outcome;
    }

    RoundEnd encodeLoop(int q) {
        Round& r = round_;
        for (;;) {
            if (encodeCount_ >= s_.budget.maxEncodes) return {StopReason::encodeBudgetExhausted, true};
            r.encodes += 1;
            if (isCancelled_()) return {StopReason::cancelled, true};

            const int index = encodeCount_ + 1;
            std::optional<std::int64_t> bytes = encode_(index, q, r.pixelSize);
            encodeCount_ += 1;
            if (!bytes || *bytes < 1) {
                return {isCancelled_() ? StopReason::cancelled : StopReason::encodeFailed, true};
            }

            recorder_.record(Attempt{index, q, r.pixelSize, *bytes, r.number});
            // A fit decides the round the search ends in; once the preferred one saves nothing,
            // the caller keeps its source whatever a higher quality would give.
            if (s_.noSavingsBytes && recorder_.bestFeasible && recorder_.bestFeasible->bytes >= *s_.noSavingsBytes) {
                return {StopReason::converged, true};
            }
            const double logB = std::log(double(*bytes));
            const double f = logB - aim_;
            r.samples.emplace_back(q, logB);

            Step step;
            if (*bytes > s_.maxBytes) {
                tooLarge(q, logB, f);
                if (r.descending) {
                    if (r.encodes < s_.budget.maxExtraEncodesPerRound && floor_ < r.hiQ) {
                        q = descendingProbe();
                        continue;
                    }
                    return {StopReason::converged, false};
                }
                step = bracketingStep();
            } else {
                fits(q, logB, f);
                if (logB >= acceptLine_ || q >= ceiling_) return {StopReason::converged, false};
                step = r.ascending ? ascendingStep() : bracketingStep();
            }

            if (auto* reason = std::get_if<StopReason>(&step)) return {*reason, false};
            r.descending = false;
            if (encodeCount_ >= s_.budget.maxEncodes) return {StopReason::encodeBudgetExhausted, true};
            q = std::get<int>(step);
        }
    }

    void tooLarge(int q, double logB, double f) {
        Round& r = round_;
        if (r.ascending) {
            r.stalledNow = false;
            if (r.lastSide == Side::hi) r.fLo /= 2;
            r.lastSide = Side::hi;
            moveHi(q, logB, f);
            r.noPrevHi = true;
            r.stalledSaved = false;
        } else if (q < r.hiQ) {
            const bool stalled = std::fabs(r.hiLogB - logB) < kStallThreshold;
            r.stalledNow = stalled;
            if (r.lastSide == Side::hi) r.fLo /= 2;
            r.lastSide = Side::hi;
            moveHi(q, logB, f);
            r.noPrevHi = false;
            r.stalledSaved = stalled;
        }
    }

    void fits(int q, double logB, double f) {
        Round& r = round_;
        if (r.descending) {
            r.stalledNow = false;
            if (r.lastSide == Side::lo) r.fHi /= 2;
            r.lastSide = Side::lo;
            moveLo(q, logB, f);
            r.loFoundWhileDescending = true;
            r.stalledSaved = false;
        } else if (r.loQ < q) {
            const bool stalled = std::fabs(r.loLogB - logB) < kStallThreshold;
            r.stalledNow = stalled;
            if (r.lastSide == Side::lo) r.fHi /= 2;
            r.lastSide = Side::lo;
            moveLo(q, logB, f);
            r.loFoundWhileDescending = false;
            r.stalledSaved = stalled;
        }
    }

    void moveHi(int q, double logB, double f) {
        Round& r = round_;
        r.prevHiQ = r.hiQ;
        r.prevHiLogB = r.hiLogB;
        r.hiQ = q;
        r.hiLogB = logB;
        r.fHi = f;
    }

    void moveLo(int q, double logB, double f) {
        Round& r = round_;
        r.prevLoQ = r.loQ;
        r.prevLoLogB = r.loLogB;
        r.loQ = q;
        r.loLogB = logB;
        r.fLo = f;
    }

    // The next quality below hi: a step by the slope estimate aimed at the low aim, or halfway to
    // the floor when the slope is too flat to trust or progress has stalled.
    int descendingProbe() {
        Round& r = round_;
        double slope = kDefaultSlope;
        if (!r.noPrevHi && r.prevHiQ != r.hiQ) slope = (r.prevHiLogB - r.hiLogB) / double(r.prevHiQ - r.hiQ);
        r.ascending = false;
        if (!(slope >= kMinimumSlope) || r.stalledNow) {
            r.noPrevHi = false;
            return std::max(floor_, halfway(floor_, r.hiQ));
        }
        const double steps = std::max(1.0, std::ceil((r.hiLogB - lowAim_) / slope));
        int q = toQuality(double(r.hiQ) - steps);
        if (q < floor_) q = floor_;
        const int upper = std::min(r.hiQ - 1, ceiling_);
        if (q > upper) q = upper;
        return q;
    }

    // Between lo (fits) and hi (too large): Illinois regula falsi, or bisection.
    Step bracketingStep() {
        Round& r = round_;
        if (r.hiQ - r.loQ < 2) return StopReason::converged;
        if (r.encodes >= s_.budget.maxExtraEncodesPerRound) return StopReason::roundBudgetExhausted;
        const int upper = std::min(r.hiQ - 1, ceiling_);
        const int lower = r.loQ + 1;
        if (upper < lower) return StopReason::converged;
        r.ascending = false;
        if (!r.stalledSaved && std::fabs(r.hiLogB - r.loLogB) >= kStallThreshold && r.fHi - r.fLo > 0) {
            r.stalledNow = false;
            r.stalledSaved = false;
            const double q = std::round(double(r.loQ) + (0 - r.fLo) / (r.fHi - r.fLo) * double(r.hiQ - r.loQ));
            return std::min(std::max(toQuality(q), lower), upper);
        }
        r.stalledNow = r.stalledSaved;
        return halfway(r.loQ, upper, 1);
    }

    // Upward from lo, used in downscaled rounds: by the slope between the last two fits, or
    // bisection towards the ceiling.
    Step ascendingStep() {
        Round& r = round_;
        if (r.encodes >= s_.budget.maxExtraEncodesPerRound) return StopReason::roundBudgetExhausted;
        if (r.loQ >= ceiling_) return StopReason::converged;
        r.ascending = true;
        double slope = kDefaultSlope;
        bool bisect = false;
        if (!r.loFoundWhileDescending && r.prevLoQ != r.loQ) {
            const double measured = (r.loLogB - r.prevLoLogB) / double(r.loQ - r.prevLoQ);
            if (!(measured >= kMinimumSlope)) {
                r.loFoundWhileDescending = false;
                bisect = true;
            } else if (r.stalledSaved) {
                r.loFoundWhileDescending = false;
                r.stalledNow = true;
                bisect = true;
            } else {
                r.stalledNow = false;
                slope = measured;
            }
        }
        if (bisect) return std::min(halfway(r.loQ, ceiling_, 1), ceiling_);
        const double steps = std::max(1.0, std::floor((aim_ - r.loLogB) / slope));
        return toQuality(std::min(double(r.loQ) + steps, double(ceiling_)));
    }

    // Starts the next, smaller round and answers its first quality, or why the search ends.
    std::variant<int, StopReason> downscale() {
        for (;;) {
            if (!s_.basePixelSize || !s_.allowDownscale || downscaleRounds_ >= s_.budget.maxDownscaleRounds) {
                return StopReason::unreachable;
            }
            if (encodeCount_ >= s_.budget.maxEncodes) return StopReason::encodeBudgetExhausted;

            const Round& r = round_;
            double m = std::log(double(s_.initialBytes));
            if (!r.samples.empty()) {
                m = std::min_element(r.samples.begin(), r.samples.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; })
                        ->second;
            }
            const int w = r.width, h = r.height;
            if (w <= 0 || h <= 0) return StopReason::unreachable;
            const double scale = std::max(s_.budget.minimumSide / double(std::min(w, h)),
                                          kDownscaleMargin * std::sqrt(std::exp(logLimit_ - m)));
            if (!(scale < 1)) return StopReason::unreachable;

            const int newWidth = std::max(1, int(std::round(double(w) * scale)));
            int newHeight = int(std::round(double(h) * scale));
            if (newHeight <= 1) {
                if (!(newWidth < w || h > 1)) return StopReason::unreachable;
                newHeight = 1;
            } else if (!(newWidth < w || newHeight < h)) {
                return StopReason::unreachable;
            }

            const int predicted = SizeTargetSearch::reproject(
                r.samples, 2 * std::log(double(newWidth) / double(w)), lowAim_, floor_, ceiling_);

            downscaleRounds_ += 1;
            Round fresh;
            fresh.fHi = 0 - aim_;
            fresh.ascending = true;
            fresh.number = downscaleRounds_;
            fresh.width = newWidth;
            fresh.height = newHeight;
            fresh.pixelSize = PixelSize{newWidth, newHeight};
            round_ = std::move(fresh);

            if (s_.budget.maxExtraEncodesPerRound < 1) continue;  // no encodes in any round
            return std::min(std::max(predicted, floor_), ceiling_);
        }
    }

    const SizeTargetSearch& s_;
    const SizeTargetSearch::EncodeFunction& encode_;
    const SizeTargetSearch::CancelQuery& isCancelled_;
    Recorder recorder_;
    Round round_;
    int encodeCount_ = 0;
    int downscaleRounds_ = 0;

    const double logLimit_, aim_, lowAim_, acceptLine_;
    const int ceiling_, floor_;
};

}  // namespace

SizeTargetSearch::Outcome SizeTargetSearch::run(const EncodeFunction& encode, const CancelQuery& isCancelled) const {
    const Attempt first{0, initialQuality, std::nullopt, initialBytes, 0};
    if (initialBytes <= maxBytes) return Outcome{first, {}, 0, StopReason::alreadyMet, true};
    // A limit below one byte can never be met; there is nothing to search for.
    if (maxBytes < 1) return Outcome{first, {}, 0, StopReason::unreachable, false};
    return Runner(*this, encode, isCancelled).run();
}

namespace {

// Thrown by a replay's encode function at the first request it has no answer for.
struct ReplayEnd {
    SizeTargetSearch::Request request;
};

}  // namespace

std::optional<SizeTargetSearch::Request> SizeTargetSearch::nextRequest(
    std::span<const std::optional<std::int64_t>> answers) const {
    std::size_t calls = 0;
    try {
        run(
            [&](int, int quality, std::optional<PixelSize> pixelSize) -> std::optional<std::int64_t> {
                if (calls == answers.size()) throw ReplayEnd{Request{quality, pixelSize}};
                return answers[calls++];
            },
            [] { return false; });
    } catch (const ReplayEnd& end) {
        return end.request;
    }
    return std::nullopt;
}

std::vector<SizeTargetSearch::Request> SizeTargetSearch::likelyNext(std::span<const Answer> answered,
                                                                    const Request& inFlight, double slope) const {
    // The log sizes known at the pixel size in flight, by quality.
    std::vector<std::pair<int, double>> known;
    if (!inFlight.pixelSize) known.emplace_back(initialQuality, std::log(double(initialBytes)));
    for (const Answer& answer : answered) {
        if (answer.request.pixelSize == inFlight.pixelSize && answer.bytes && *answer.bytes >= 1) {
            known.emplace_back(answer.request.quality, std::log(double(*answer.bytes)));
        }
    }
    double shiftSpread = 0;
    if (known.empty() && inFlight.pixelSize && inFlight.pixelSize->width > 0) {
        // The first encode at a new size: the previous size's points, shifted as the search
        // shifts them for its prediction (by the ratio of the areas).
        std::optional<PixelSize> previous;
        for (auto it = answered.rbegin(); it != answered.rend() && !previous; ++it) {
            if (it->request.pixelSize != inFlight.pixelSize) previous = it->request.pixelSize.value_or(basePixelSize.value_or(PixelSize{}));
        }
        if (previous && previous->width > 0) {
            const double shift = 2 * std::log(double(inFlight.pixelSize->width) / double(previous->width));
            const std::optional<PixelSize> at = *previous == basePixelSize.value_or(PixelSize{}) ? std::nullopt : previous;
            if (!at) known.emplace_back(initialQuality, std::log(double(initialBytes)) + shift);
            for (const Answer& answer : answered) {
                if (answer.request.pixelSize == at && answer.bytes && *answer.bytes >= 1) {
                    known.emplace_back(answer.request.quality, std::log(double(*answer.bytes)) + shift);
                }
            }
            shiftSpread = 0.1;
        }
    }
    if (known.empty() || initialBytes < 1) return {};
    std::sort(known.begin(), known.end());

    // The estimate: between the neighbours on either side of the quality in flight, or along the
    // slope of the two nearest on one side (`slope` with one point only).
    const int q = inFlight.quality;
    const auto above = std::lower_bound(known.begin(), known.end(), std::pair<int, double>{q, -HUGE_VAL});
    const auto slopeOf = [](const std::pair<int, double>& a, const std::pair<int, double>& b) {
        return a.first == b.first ? kDefaultSlope : std::clamp((b.second - a.second) / double(b.first - a.first), 0.005, 0.1);
    };
    double estimate = 0;
    int distance = 0;
    double perStep = kDefaultSlope;  // how fast the estimate's error grows with the distance
    if (above != known.begin() && above != known.end()) {
        const auto& lo = *(above - 1);
        const auto& hi = *above;
        estimate = hi.first == lo.first ? hi.second
                                        : lo.second + (hi.second - lo.second) * double(q - lo.first) / double(hi.first - lo.first);
        distance = std::min(q - lo.first, hi.first - q);
        perStep = hi.first == lo.first ? 0 : std::fabs(hi.second - lo.second) / double(hi.first - lo.first);
    } else {
        const bool below = above == known.end();  // every known quality is below q
        const auto& nearest = below ? known.back() : known.front();
        if (!(slope > 0)) slope = kDefaultSlope;
        if (known.size() >= 2) slope = below ? slopeOf(*(known.end() - 2), known.back()) : slopeOf(known[0], known[1]);
        estimate = nearest.second + slope * double(q - nearest.first);
        distance = std::abs(q - nearest.first);
        perStep = known.size() >= 2 ? slope / 2 : slope;  // a measured slope errs less
    }

    // The search replayed over answers spread around the estimate, each weighted by how likely
    // it is (the spread grows with the distance to the nearest known point), on each side of the
    // limit: the likeliest request after a fit and the likeliest after a miss, the more likely
    // side first.
    std::vector<std::optional<std::int64_t>> answers;
    for (const Answer& answer : answered) answers.push_back(answer.bytes);
    answers.emplace_back();
    const double spread = std::min(0.5, 0.03 + shiftSpread + 0.3 * perStep * double(distance));
    struct Side {
        double total = 0;
        std::vector<std::pair<Request, double>> weights;
    };
    std::array<Side, 2> sides;  // fits, too large
    constexpr int kSteps = 12;
    for (int i = -kSteps; i <= kSteps; ++i) {
        const double z = 2.5 * double(i) / kSteps;
        const std::int64_t bytes = std::max<std::int64_t>(1, std::llround(std::exp(std::min(estimate + z * spread, 40.0))));
        answers.back() = bytes;
        const std::optional<Request> next = nextRequest(answers);
        if (!next || *next == inFlight) continue;
        const double weight = std::exp(-z * z / 2);
        Side& side = sides[bytes > maxBytes ? 1 : 0];
        side.total += weight;
        auto found = std::find_if(side.weights.begin(), side.weights.end(), [&](const auto& w) { return w.first == *next; });
        if (found == side.weights.end()) {
            side.weights.emplace_back(*next, weight);
        } else {
            found->second += weight;
        }
    }
    // The prediction: the request after the estimate itself; then the likeliest on the other
    // side of the limit (the hedge), then the likeliest on the estimate's side.
    answers.back() = std::max<std::int64_t>(1, std::llround(std::exp(std::min(estimate, 40.0))));
    const std::optional<Request> predicted = nextRequest(answers);
    std::vector<Request> likely;
    if (predicted && !(*predicted == inFlight)) likely.push_back(*predicted);
    if (*answers.back() <= maxBytes) std::swap(sides[0], sides[1]);
    for (Side& side : sides) {
        std::stable_sort(side.weights.begin(), side.weights.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        if (!side.weights.empty() && std::find(likely.begin(), likely.end(), side.weights.front().first) == likely.end()) {
            likely.push_back(side.weights.front().first);
        }
    }
    // Then the rest, by weight.
    std::vector<std::pair<Request, double>> rest;
    for (Side& side : sides) rest.insert(rest.end(), side.weights.begin() + std::min<std::ptrdiff_t>(1, std::ssize(side.weights)), side.weights.end());
    std::stable_sort(rest.begin(), rest.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& w : rest) {
        if (std::find(likely.begin(), likely.end(), w.first) == likely.end()) likely.push_back(w.first);
    }
    return likely;
}

int SizeTargetSearch::reproject(std::vector<std::pair<int, double>> samples, double shift, double target,
                                int floor, int ceiling) {
    for (auto& sample : samples) sample.second += shift;
    std::stable_sort(samples.begin(), samples.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    if (samples.empty() || target < samples.front().second) return floor;

    // In double precision: the interpolated quality lies between two int qualities, but their
    // difference need not fit in an int.
    double q = samples.front().first;
    if (target >= samples.back().second) {
        q = samples.back().first;
    } else {
        for (std::size_t i = 0; i + 1 < samples.size(); ++i) {
            const auto [q1, l1] = samples[i];
            const auto [q2, l2] = samples[i + 1];
            if (l1 <= target && target < l2) {
                q = double(q1) + std::floor((target - l1) / (l2 - l1) * (double(q2) - double(q1)));
                break;
            }
        }
    }
    return std::min(std::max(toQuality(q), floor), ceiling);
}

}  // namespace dorvex
