#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "dorvex/image/SizeTargetSearch.h"

namespace dorvex {
namespace {

using Search = SizeTargetSearch;
using Reason = SearchStopReason;
using Attempt = SizeTargetSearch::Attempt;
using Bytes = std::optional<std::int64_t>;

struct Call {
    int index;
    int quality;
    std::optional<PixelSize> size;
    Bytes bytes;
};

// Runs a search against a byte model, keeping every call; the cancellation query answers true
// once `cancelAfter` encodes have been made.
struct Harness {
    using Model = std::function<Bytes(int quality, std::optional<PixelSize> size)>;
    explicit Harness(Model m = {}, int cancel = INT_MAX) : model(std::move(m)), cancelAfter(cancel) {}

    Model model;
    int cancelAfter;
    std::vector<Call> calls;

    Search::Outcome run(const Search& search) {
        return search.run(
            [&](int index, int quality, std::optional<PixelSize> size) {
                Bytes bytes = model(quality, size);
                calls.push_back({index, quality, size, bytes});
                return bytes;
            },
            [&] { return int(calls.size()) >= cancelAfter; });
    }
    std::vector<std::pair<int, int>> qualitiesAndWidths() const {
        std::vector<std::pair<int, int>> out;
        for (const Call& c : calls) out.emplace_back(c.quality, c.size ? c.size->width : 0);
        return out;
    }
};

// Ceiling 80, floor 30, first encode at 80 twice the 100 000-byte limit, source size unknown.
Search baseSearch() { return Search{80, 30, 100000, 80, 200000, std::nullopt, false, SearchBudget::standard}; }

SearchBudget budget(int encodes, int perRound, int rounds, double accept, double minimumSide = 16) {
    SearchBudget b{encodes, perRound, rounds, accept};
    b.minimumSide = minimumSide;
    return b;
}

// Answers from a table keyed by (quality, width; 0 for the source size); anything else is a
// call the trace did not expect.
std::function<Bytes(int, std::optional<PixelSize>)> table(std::map<std::pair<int, int>, std::int64_t> bytes) {
    return [bytes](int q, std::optional<PixelSize> size) -> Bytes {
        auto it = bytes.find({q, size ? size->width : 0});
        if (it == bytes.end()) {
            ADD_FAILURE() << "unexpected encode at quality " << q << " width " << (size ? size->width : 0);
            return std::nullopt;
        }
        return it->second;
    };
}

// ---- traces worked out by hand -----------------------------------------------------------------

struct TraceCase {
    const char* name;
    Search search;
    std::map<std::pair<int, int>, std::int64_t> bytes;
    std::vector<std::pair<int, int>> expectedCalls;  // (quality, width; 0 = source size)
    Reason reason;
    int chosenIndex;
};

// Responses of the regula-falsi trace: aim ln 98 500, low aim ln 95 000.
const std::map<std::pair<int, int>, std::int64_t> kFalsi{
    {{55, 0}, 50000}, {{67, 0}, 120000}, {{64, 0}, 110000}, {{62, 0}, 96000}, {{63, 0}, 99000}};

Search with(Search s, auto&& change) {
    change(s);
    return s;
}

TEST(SizeTargetSearch, FollowsHandComputedTraces) {
    const std::vector<TraceCase> cases{
        // 80 - ceil(ln(200000/95000)/0.03) = 55. Fit 50 000 → falsi 67.2 → 67; 120 000 too large →
        // 64.3 → 64; 110 000 replaces hi again, so fLo is halved → 61.8 → 62 (63 without halving);
        // 96 000 fits under 0.97 → 62.4 raised to lower 63; 99 000 ≥ 0.97 · limit.
        {"illinois", baseSearch(), kFalsi, {{55, 0}, {67, 0}, {64, 0}, {62, 0}, {63, 0}}, Reason::converged, 5},
        {"encode budget", with(baseSearch(), [](Search& s) { s.budget = budget(2, 6, 3, 0.97); }), kFalsi,
         {{55, 0}, {67, 0}}, Reason::encodeBudgetExhausted, 1},
        {"round budget", with(baseSearch(), [](Search& s) { s.budget = budget(16, 3, 3, 0.97); }), kFalsi,
         {{55, 0}, {67, 0}, {64, 0}}, Reason::roundBudgetExhausted, 1},
        // Two fits in a row halve fHi: 67 + 0.208 / (0.708 / 2 + 0.208) · 13 = 71.8 → 72 (70 without
        // halving); 97 000 sits exactly on the accept line.
        {"illinois on the fitting side", baseSearch(), {{{55, 0}, 50000}, {{67, 0}, 80000}, {{72, 0}, 97000}},
         {{55, 0}, {67, 0}, {72, 0}}, Reason::converged, 3},
        // 55 → 110 000: slope ln(200/110)/25 gives 7 steps → 48; 109 700 stalls (< 0.005) and the
        // slope is flat → halfway to the floor, 39; fit 60 000 → falsi 46.4 → 46; 109 500 stalls
        // again → bisect (39 + 45 + 1) / 2 = 42 (falsi would say 45); 97 500 is accepted.
        {"stall and bisect", baseSearch(),
         {{{55, 0}, 110000}, {{48, 0}, 109700}, {{39, 0}, 60000}, {{46, 0}, 109500}, {{42, 0}, 97500}},
         {{55, 0}, {48, 0}, {39, 0}, {46, 0}, {42, 0}}, Reason::converged, 5},
        {"probe clamped to the floor, then nothing left", with(baseSearch(), [](Search& s) { s.floorQuality = 60; }),
         {{{60, 0}, 150000}}, {{60, 0}}, Reason::unreachable, 1},
        // hiQ0 = min(70 + 1, 80) = 71; 71 - 25 = 46; 0.98 of the limit is accepted at once.
        {"ceiling below the first quality", with(baseSearch(), [](Search& s) { s.ceilingQuality = 70; }),
         {{{46, 0}, 98000}}, {{46, 0}}, Reason::converged, 1},
        // ceiling′ = floor′ = 1, hiQ0 = 2: one encode at 1.
        {"non-positive ceiling and floor", with(baseSearch(), [](Search& s) { s.ceilingQuality = -5, s.floorQuality = -10; }),
         {{{1, 0}, 150000}}, {{1, 0}}, Reason::unreachable, 1},
        {"floor at the first quality, no downscaling", with(baseSearch(), [](Search& s) { s.floorQuality = 80; }),
         {}, {}, Reason::unreachable, 0},
        {"no encodes per round", with(baseSearch(), [](Search& s) {
             s.budget = budget(16, 0, 3, 0.97), s.basePixelSize = PixelSize{1000, 800}, s.allowDownscale = true; }),
         {}, {}, Reason::unreachable, 0},
        // Floor 70: 70 → 300 000, nothing left. Scale 0.9·√(1/3) → 520×416; the samples shifted by
        // 2 ln 0.52 put the low aim 5.49 steps above 70 → 75. Ascending with the default slope:
        // floor(ln(98500/90000)/0.03) = 3 → 78; measured slope ln(96/90)/3 → 1 step → 79 too large.
        {"downscale, then ascend", with(baseSearch(), [](Search& s) {
             s.floorQuality = 70, s.initialBytes = 400000, s.basePixelSize = PixelSize{1000, 800}, s.allowDownscale = true; }),
         {{{70, 0}, 300000}, {{75, 520}, 90000}, {{78, 520}, 96000}, {{79, 520}, 101000}},
         {{70, 0}, {75, 520}, {78, 520}, {79, 520}}, Reason::converged, 3},
        // As above, but 78 barely grows: a flat slope → bisect (78 + 80 + 1) / 2 = 79, not 80.
        {"downscale, flat ascent", with(baseSearch(), [](Search& s) {
             s.floorQuality = 70, s.initialBytes = 400000, s.basePixelSize = PixelSize{1000, 800}, s.allowDownscale = true; }),
         {{{70, 0}, 300000}, {{75, 520}, 90000}, {{78, 520}, 90100}, {{79, 520}, 101000}},
         {{70, 0}, {75, 520}, {78, 520}, {79, 520}}, Reason::converged, 3},
        // Floor at the first quality: straight to 0.9·√(1/4) = 0.45 → 450×360, predicted at the ceiling.
        {"floor at the first quality, downscaling", with(baseSearch(), [](Search& s) {
             s.floorQuality = 80, s.initialBytes = 400000, s.basePixelSize = PixelSize{1000, 800}, s.allowDownscale = true; }),
         {{{80, 450}, 70000}}, {{80, 450}}, Reason::converged, 1},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h{table(c.bytes)};
        const Search::Outcome out = h.run(c.search);
        EXPECT_EQ(h.qualitiesAndWidths(), c.expectedCalls);
        EXPECT_EQ(out.stopReason, c.reason) << rawValue(out.stopReason);
        EXPECT_EQ(out.encodeCount, int(h.calls.size()));
        EXPECT_EQ(out.chosen.index, c.chosenIndex);
        EXPECT_EQ(out.maxSizeMet, out.chosen.bytes <= c.search.maxBytes);
        if (c.chosenIndex == 0) {
            EXPECT_EQ(out.chosen, (Attempt{0, 80, std::nullopt, c.search.initialBytes, 0}));
        }
    }
}

TEST(SizeTargetSearch, DownscaledRoundsCarryTheirSizeAndRound) {
    Harness h{table({{{70, 0}, 300000}, {{75, 520}, 90000}, {{78, 520}, 96000}, {{79, 520}, 101000}})};
    Search s = baseSearch();
    s.floorQuality = 70, s.initialBytes = 400000, s.basePixelSize = PixelSize{1000, 800}, s.allowDownscale = true;
    const Search::Outcome out = h.run(s);
    const PixelSize small{520, 416};
    EXPECT_EQ(out.attempts, (std::vector<Attempt>{{1, 70, std::nullopt, 300000, 0}, {2, 75, small, 90000, 1},
                                                  {3, 78, small, 96000, 1}, {4, 79, small, 101000, 1}}));
    EXPECT_EQ(out.chosen, (Attempt{3, 78, small, 96000, 1}));
    EXPECT_TRUE(out.maxSizeMet);
}

TEST(SizeTargetSearch, FirstEncodeThatFitsEndsBeforeAnyEncode) {
    for (std::int64_t limit : {std::int64_t{200000}, std::int64_t{200001}, std::numeric_limits<std::int64_t>::max()}) {
        Search s = baseSearch();
        s.maxBytes = limit;
        Harness h{table({})};
        const Search::Outcome out = h.run(s);
        EXPECT_EQ(out, (Search::Outcome{{0, 80, std::nullopt, 200000, 0}, {}, 0, Reason::alreadyMet, true}));
    }
    Search s = baseSearch();
    s.maxBytes = 0;  // a limit nothing can meet: no encode is spent on it
    Harness h{table({})};
    const Search::Outcome out = h.run(s);
    EXPECT_EQ(out.stopReason, Reason::unreachable);
    EXPECT_FALSE(out.maxSizeMet);
    EXPECT_TRUE(h.calls.empty());
}

TEST(SizeTargetSearch, FailuresAndCancellation) {
    struct Case {
        const char* name;
        int failAt;            // the encode (1-based) that fails; 0: none
        Bytes failure;         // what the failing encode answers
        bool cancelOnFailure;  // the query turns true together with the failure
        int cancelAfter;
        Reason reason;
        int encodes;
        int chosenIndex;
    };
    const std::vector<Case> cases{
        {"cancelled before the first encode", 0, {}, false, 0, Reason::cancelled, 0, 0},
        {"cancelled before the third encode", 0, {}, false, 2, Reason::cancelled, 2, 1},
        {"no result", 1, std::nullopt, false, INT_MAX, Reason::encodeFailed, 1, 0},
        {"zero bytes", 1, 0, false, INT_MAX, Reason::encodeFailed, 1, 0},
        {"negative bytes", 1, -7, false, INT_MAX, Reason::encodeFailed, 1, 0},
        {"failure after a fit keeps the fit", 3, std::nullopt, false, INT_MAX, Reason::encodeFailed, 3, 1},
        {"failure caused by cancellation", 2, std::nullopt, true, INT_MAX, Reason::cancelled, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        auto responses = table(kFalsi);
        h.model = [&](int q, std::optional<PixelSize> size) -> Bytes {
            if (int(h.calls.size()) + 1 == c.failAt) {
                if (c.cancelOnFailure) h.cancelAfter = 0;
                return c.failure;
            }
            return responses(q, size);
        };
        h.cancelAfter = c.cancelAfter;
        const Search::Outcome out = h.run(baseSearch());
        EXPECT_EQ(out.stopReason, c.reason) << rawValue(out.stopReason);
        EXPECT_EQ(out.encodeCount, c.encodes);
        EXPECT_EQ(int(h.calls.size()), c.encodes);
        EXPECT_EQ(out.attempts.size(), std::size_t(c.failAt ? c.encodes - 1 : c.encodes));
        EXPECT_EQ(out.chosen.index, c.chosenIndex);
        EXPECT_EQ(out.maxSizeMet, c.chosenIndex != 0);
    }
    Harness h{[](int, std::optional<PixelSize>) -> Bytes { throw std::runtime_error("encoder crashed"); }};
    EXPECT_THROW(h.run(baseSearch()), std::runtime_error);
}

// The first downscaled size, with round 0 skipped (floor = ceiling = first quality) and the first
// encode four times the limit: scale = max(minimumSide / short side, 0.9 · √¼ = 0.45).
TEST(SizeTargetSearch, DownscaledSizes) {
    struct Case {
        PixelSize base;
        double minimumSide;
        double overLimit;  // first encode ÷ limit
        std::optional<PixelSize> expected;
    };
    const std::vector<Case> cases{
        {{1000, 800}, 16, 4, PixelSize{450, 360}},
        {{20, 100}, 16, 4, PixelSize{16, 80}},  // the short side stops at the minimum
        {{16, 300}, 16, 4, std::nullopt},       // already at the minimum
        {{15, 15}, 16, 4, std::nullopt},        // below it: never enlarged
        {{100, 1}, 0, 4, PixelSize{45, 1}},     // height rounds to 0 → 1
        {{1, 100}, 0, 4, PixelSize{1, 45}},     // width rounds to 0 → 1
        {{2, 1}, 0, 4, PixelSize{1, 1}},
        {{1, 2}, 0, 4, PixelSize{1, 1}},
        {{3, 1}, 0, 100, PixelSize{1, 1}},
        {{1, 1}, 0, 4, std::nullopt},
        {{0, 100}, 0, 4, std::nullopt},
        {{-4, -4}, 0, 4, std::nullopt},
        {{1000, 800}, 16, 1.1, PixelSize{858, 686}},  // 0.9·√(1/1.1) = 0.858
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.base.width) + "x" + std::to_string(c.base.height));
        Search s = baseSearch();
        s.floorQuality = 80, s.basePixelSize = c.base, s.allowDownscale = true;
        s.initialBytes = std::int64_t(std::llround(100000 * c.overLimit));
        s.budget.minimumSide = c.minimumSide;
        Harness h{[](int, std::optional<PixelSize>) -> Bytes { return 50000; }};
        const Search::Outcome out = h.run(s);
        if (!c.expected) {
            EXPECT_TRUE(h.calls.empty());
            EXPECT_EQ(out.stopReason, Reason::unreachable);
            continue;
        }
        ASSERT_EQ(h.calls.size(), 1u);
        EXPECT_EQ(h.calls[0].size, c.expected);
        EXPECT_EQ(out.chosen.round, 1);
    }
}

TEST(SizeTargetSearch, Reproject) {
    using Samples = std::vector<std::pair<int, double>>;
    struct Case {
        Samples samples;
        double shift, target;
        int floor, ceiling, expected;
    };
    const std::vector<Case> cases{
        {{}, 0, 5, 50, 40, 50},                           // no samples: the floor, unclamped
        {{{80, 3.0}, {40, 1.0}}, 0, 0.5, 30, 90, 30},     // below every sample
        {{{80, 3.0}, {40, 1.0}}, 0, 3.0, 30, 90, 80},     // at the largest
        {{{80, 3.0}, {40, 1.0}}, 0, 9.0, 30, 70, 70},     // above it, capped
        {{{80, 3.0}, {40, 1.0}}, 0, 2.0, 30, 90, 60},     // halfway
        {{{80, 3.0}, {40, 1.0}}, 0, 1.99, 30, 90, 59},    // rounds down
        {{{80, 3.0}, {40, 1.0}}, -1, 1.0, 30, 90, 60},    // shifted
        {{{80, 3.0}, {40, 1.0}}, 0, 2.0, 65, 90, 65},     // raised to the floor
        {{{60, 2.0}, {50, 2.5}, {70, 3.0}}, 0, 2.125, 0, 100, 57},  // descending pair: floor(-2.5) = -3
        {{{70, 2.0}, {50, 2.0}}, 0, 2.0, 0, 100, 50},     // equal sizes keep their order: last is largest
        {{{70, 2.0}, {50, 2.0}, {90, 3.0}}, 0, 2.0, 0, 100, 50},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(Search::reproject(c.samples, c.shift, c.target, c.floor, c.ceiling), c.expected) << "case " << i;
    }
}

TEST(SizeTargetSearch, StopReasonRawValues) {
    for (Reason r : {Reason::alreadyMet, Reason::converged, Reason::roundBudgetExhausted, Reason::encodeBudgetExhausted,
                     Reason::unreachable, Reason::cancelled, Reason::encodeFailed}) {
        EXPECT_EQ(stopReasonFromRawValue(rawValue(r)), r);
    }
    EXPECT_EQ(rawValue(Reason::roundBudgetExhausted), "roundBudgetExhausted");
    EXPECT_FALSE(stopReasonFromRawValue("Converged").has_value());
}

// ---- invariants over random encoder models ------------------------------------------------------

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Size ≈ A · e^(k·q) · (area ratio)^α, flat over a plateau of qualities, with deterministic
// per-(quality, size) jitter, and failures on some encodes.
struct Model {
    double logA = 12, k = 0.03, alpha = 0.9, jitter = 0, failRate = 0;
    int plateauLo = 0, plateauHi = -1;
    PixelSize base{1000, 1000};
    std::uint64_t seed = 0;
    int made = 0;

    double uniform(std::uint64_t a, std::uint64_t b) const {  // in [0, 1)
        return double(mix(seed ^ mix(a * 0x1000193ull + b)) >> 11) * 0x1.0p-53;
    }
    std::int64_t bytes(int q, std::optional<PixelSize> size) const {
        double qe = (q >= plateauLo && q <= plateauHi) ? plateauLo : q;
        double area = size ? double(size->width) * size->height / (double(base.width) * base.height) : 1.0;
        double noise = jitter * (2 * uniform(std::uint64_t(q), size ? std::uint64_t(size->width) << 20 | size->height : 0) - 1);
        double logB = logA + k * (qe - 100) + alpha * std::log(std::max(area, 1e-12)) + noise;
        return std::max<std::int64_t>(1, std::llround(std::exp(std::min(logB, 40.0))));
    }
    Bytes encode(int q, std::optional<PixelSize> size) {
        ++made;
        if (failRate > 0 && uniform(7, std::uint64_t(made)) < failRate) return made % 2 ? Bytes{} : Bytes{0};
        return bytes(q, size);
    }
};

bool better(const Attempt& a, const Attempt& b) {
    if (a.round != b.round) return a.round < b.round;
    return a.quality > b.quality || (a.quality == b.quality && a.bytes > b.bytes);
}

void checkOutcome(const Search& s, const Search::Outcome& out, const Harness& h) {
    const auto& calls = h.calls;
    ASSERT_EQ(out.encodeCount, int(calls.size()));
    if (s.initialBytes <= s.maxBytes) {
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(out.stopReason, Reason::alreadyMet);
        return;
    }
    const int ceiling = std::max(s.ceilingQuality, 1);
    const int floor = std::min(std::max(s.floorQuality, 1), ceiling);
    const int hiQ0 = int(std::min<std::int64_t>(std::int64_t(ceiling) + 1, s.initialQuality));
    const SearchBudget& b = s.budget;
    EXPECT_LE(out.encodeCount, std::max(b.maxEncodes, 0));
    EXPECT_LE(int(calls.size()), h.cancelAfter);

    std::map<std::pair<int, int>, int> perSize;
    std::set<std::tuple<int, int, int>> tried;
    std::vector<Attempt> attempts;
    std::optional<PixelSize> current;
    PixelSize previous = s.basePixelSize.value_or(PixelSize{});
    int round = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        SCOPED_TRACE("encode " + std::to_string(i + 1));
        EXPECT_EQ(c.index, int(i) + 1);
        EXPECT_GE(c.quality, floor);
        EXPECT_LE(c.quality, ceiling);
        if (i == 0 || c.size != current) {  // a new round
            if (c.size) {
                ASSERT_TRUE(s.basePixelSize && s.allowDownscale);
                ++round;
                const PixelSize& p = *c.size;
                EXPECT_TRUE(p.width <= previous.width && p.height <= previous.height && !(p == previous))
                    << p.description() << " after " << previous.description();
                EXPECT_GE(std::min(p.width, p.height), std::max(1.0, b.minimumSide)) << p.description();
                previous = p;
            } else {
                EXPECT_EQ(i, 0u);
            }
            current = c.size;
        }
        if (!c.size) {
            EXPECT_LT(c.quality, hiQ0);
        }
        const std::pair<int, int> key{current ? current->width : 0, current ? current->height : 0};
        EXPECT_LE(++perSize[key], b.maxExtraEncodesPerRound);
        EXPECT_TRUE(tried.insert({key.first, key.second, c.quality}).second) << "quality " << c.quality << " again";
        if (c.bytes && *c.bytes >= 1) {
            attempts.push_back({c.index, c.quality, c.size, *c.bytes, round});
        } else {
            EXPECT_EQ(i + 1, calls.size()) << "the search went on after a failed encode";
        }
    }
    EXPECT_LE(round, std::max(b.maxDownscaleRounds, 0));
    EXPECT_EQ(out.attempts, attempts);

    std::optional<Attempt> best;
    Attempt smallest{0, s.initialQuality, std::nullopt, s.initialBytes, 0};
    for (const Attempt& a : attempts) {
        if (a.bytes <= s.maxBytes) {
            if (best) {
                EXPECT_EQ(a.round, best->round) << "the search went on after a round with a fit";
            }
            if (!best || better(a, *best)) best = a;
        }
        if (a.bytes < smallest.bytes) smallest = a;
    }
    EXPECT_EQ(out.chosen, best.value_or(smallest));
    EXPECT_EQ(out.maxSizeMet, out.chosen.bytes <= s.maxBytes);
    EXPECT_EQ(out.maxSizeMet, best.has_value());

    const bool lastFailed = !calls.empty() && !(calls.back().bytes && *calls.back().bytes >= 1);
    switch (out.stopReason) {
        case Reason::alreadyMet: ADD_FAILURE() << "alreadyMet although the first encode was too large"; break;
        case Reason::converged: {
            ASSERT_TRUE(best);
            // Accepted, at the ceiling, or the quality just above is known to be too large.
            const bool accepted = std::log(double(best->bytes)) >= std::log(double(s.maxBytes)) + std::log(b.acceptRatio);
            bool aboveTooLarge = best->round == 0 && best->quality + 1 == hiQ0;
            for (const Attempt& a : attempts)
                aboveTooLarge |= a.round == best->round && a.quality == best->quality + 1 && a.bytes > s.maxBytes;
            EXPECT_TRUE(accepted || best->quality >= ceiling || aboveTooLarge) << "converged at " << best->quality;
            break;
        }
        case Reason::roundBudgetExhausted: {
            ASSERT_TRUE(best);
            const PixelSize p = best->pixelSize.value_or(PixelSize{});
            EXPECT_GE(perSize[std::make_pair(p.width, p.height)], b.maxExtraEncodesPerRound);
            break;
        }
        case Reason::encodeBudgetExhausted: EXPECT_EQ(out.encodeCount, std::max(b.maxEncodes, 0)); break;
        case Reason::unreachable: EXPECT_FALSE(best); break;
        case Reason::cancelled: EXPECT_EQ(int(calls.size()), h.cancelAfter); break;
        case Reason::encodeFailed:
            EXPECT_TRUE(lastFailed);
            EXPECT_LT(int(calls.size()), h.cancelAfter);
            break;
    }
    if (lastFailed) {
        EXPECT_TRUE(out.stopReason == Reason::encodeFailed || out.stopReason == Reason::cancelled);
    }
}

struct Job {
    Search search;
    Model model;
    int cancelAfter;
};

Job randomJob(std::mt19937_64& rng, const SearchBudget& budget) {
    auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto chance = [&](double p) { return uni(0, 1) < p; };
    Model m;
    m.seed = rng();
    m.k = chance(0.1) ? uni(0.0002, 0.004) : uni(0.005, 0.09);
    m.alpha = uni(0.5, 1.1);
    m.logA = uni(8, 16);
    m.jitter = chance(0.4) ? 0 : uni(0.001, 0.1);
    if (chance(0.3)) m.plateauLo = pick(1, 95), m.plateauHi = m.plateauLo + pick(2, 30);
    m.failRate = chance(0.15) ? uni(0.02, 0.3) : 0;
    m.base = chance(0.15) ? PixelSize{pick(1, 40), pick(1, 40)} : PixelSize{pick(16, 6000), pick(16, 6000)};

    const int initialQuality = pick(20, 100);
    const int ceiling = chance(0.8) ? std::min(initialQuality, chance(0.3) ? 94 : 100) : pick(-3, 105);
    const int floor = chance(0.85) ? pick(10, 45) : pick(-5, 100);
    const std::int64_t initialBytes = chance(0.9) ? m.bytes(initialQuality, std::nullopt) : std::int64_t(std::exp(uni(3, 18)));
    const std::int64_t maxBytes = std::int64_t(double(initialBytes) * (chance(0.05) ? uni(0.95, 1.05) : std::exp(uni(-6, 0))));
    const std::optional<PixelSize> base = chance(0.1) ? std::nullopt : std::optional<PixelSize>(m.base);
    return {Search{ceiling, floor, maxBytes, initialQuality, initialBytes, base, chance(0.8), budget}, m,
            chance(0.1) ? pick(0, 10) : INT_MAX};
}

TEST(SizeTargetSearch, InvariantsOverRandomModels) {
    std::mt19937_64 rng(20240611);
    const std::vector<std::pair<const char*, SearchBudget>> budgets{{"standard", SearchBudget::standard},
                                                                    {"slow", SearchBudget::slow}};
    for (const auto& [name, b] : budgets) {
        for (int i = 0; i < 5000 && !HasFailure(); ++i) {
            Job job = randomJob(rng, b);
            SCOPED_TRACE(std::string(name) + " job " + std::to_string(i));
            Harness h{[&](int q, std::optional<PixelSize> size) { return job.model.encode(q, size); }, job.cancelAfter};
            checkOutcome(job.search, h.run(job.search), h);
        }
    }
    // Odd budgets: tiny or zero allowances, lenient or strict acceptance, small minimum sides.
    for (int i = 0; i < 5000 && !HasFailure(); ++i) {
        std::uniform_int_distribution<int> d(0, 20);
        const double sides[] = {0, 1, 2, 16, 40};
        SearchBudget b = budget(d(rng) - 1, d(rng) % 8 - 1, d(rng) % 6 - 1, 0.5 + 0.05 * (d(rng) % 11), sides[d(rng) % 5]);
        Job job = randomJob(rng, b);
        SCOPED_TRACE("odd budget job " + std::to_string(i));
        Harness h{[&](int q, std::optional<PixelSize> size) { return job.model.encode(q, size); }, job.cancelAfter};
        checkOutcome(job.search, h.run(job.search), h);
    }
}

// When some quality fits at full size on a well-behaved (monotone, noise-free) encoder, the
// standard budget finds a fit without shrinking the image, and usually lands close to the limit.
TEST(SizeTargetSearch, FindsFitsOnMonotoneModels) {
    std::mt19937_64 rng(77);
    int close = 0, total = 0;
    for (int i = 0; i < 3000; ++i) {
        Job job = randomJob(rng, SearchBudget::standard);
        job.model.jitter = 0, job.model.failRate = 0, job.model.plateauHi = -1, job.cancelAfter = INT_MAX;
        job.model.k = std::max(job.model.k, 0.01);
        Search& s = job.search;
        s.initialBytes = job.model.bytes(s.initialQuality, std::nullopt);
        const int ceiling = std::max(s.ceilingQuality, 1);
        const int floor = std::min(std::max(s.floorQuality, 1), ceiling);
        const int hiQ0 = std::min(ceiling + 1, s.initialQuality);
        int bestQ = 0;
        for (int q = floor; q < hiQ0; ++q)
            if (job.model.bytes(q, std::nullopt) <= s.maxBytes) bestQ = q;
        if (s.initialBytes <= s.maxBytes || bestQ == 0) continue;
        Harness h{[&](int q, std::optional<PixelSize> size) { return job.model.encode(q, size); }};
        const Search::Outcome out = h.run(s);
        SCOPED_TRACE("job " + std::to_string(i));
        ASSERT_TRUE(out.maxSizeMet);
        EXPECT_EQ(out.chosen.round, 0);
        ++total;
        close += out.chosen.quality == bestQ || out.chosen.bytes >= 0.9 * double(s.maxBytes);
    }
    ASSERT_GT(total, 500);
    EXPECT_GE(close, total * 98 / 100) << close << " of " << total;
}

// A fit that saves nothing ends the search in its round; fits below that size do not.
TEST(SizeTargetSearch, StopsAtAFitThatSavesNothing) {
    struct Case {
        std::int64_t noSavings;
        std::vector<std::pair<int, int>> expectedCalls;
        int chosenIndex;
    };
    const std::vector<Case> cases{
        {40000, {{55, 0}}, 1},                                    // the first fit already
        {90000, {{55, 0}, {67, 0}, {64, 0}, {62, 0}}, 4},         // 50 000 is a saving, 96 000 not
        {99500, {{55, 0}, {67, 0}, {64, 0}, {62, 0}, {63, 0}}, 5},  // as without: the search ends first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.noSavings);
        Search s = baseSearch();
        s.noSavingsBytes = c.noSavings;
        Harness h{table(kFalsi)};
        const Search::Outcome out = h.run(s);
        EXPECT_EQ(h.qualitiesAndWidths(), c.expectedCalls);
        EXPECT_EQ(out.stopReason, Reason::converged);
        EXPECT_EQ(out.chosen.index, c.chosenIndex);
        EXPECT_TRUE(out.maxSizeMet);
    }
}

// Replaying the answers a run got asks for exactly what the run asked for next, and the encodes
// predicted while one is in flight usually include the one asked for after it.
TEST(SizeTargetSearch, ReplaysAndPredictsItsOwnRequests) {
    std::mt19937_64 rng(4242);
    int predicted = 0, asked = 0;
    for (int i = 0; i < 1500 && !HasFailure(); ++i) {
        Job job = randomJob(rng, i % 2 ? SearchBudget::slow : SearchBudget::standard);
        job.cancelAfter = INT_MAX;
        SCOPED_TRACE("job " + std::to_string(i));
        Harness h{[&](int q, std::optional<PixelSize> size) { return job.model.encode(q, size); }};
        h.run(job.search);
        std::vector<Bytes> answers;
        std::vector<Search::Answer> answered;
        for (std::size_t k = 0; k <= h.calls.size(); ++k) {
            const std::optional<Search::Request> next = job.search.nextRequest(answers);
            if (k == h.calls.size()) {
                EXPECT_FALSE(next.has_value());
                break;
            }
            const Call& c = h.calls[k];
            ASSERT_EQ(next, (Search::Request{c.quality, c.size}));
            if (k + 1 < h.calls.size() && job.model.jitter == 0) {
                const std::vector<Search::Request> likely = job.search.likelyNext(answered, *next);
                const Search::Request after{h.calls[k + 1].quality, h.calls[k + 1].size};
                asked += 1;
                predicted += std::find(likely.begin(), likely.begin() + std::min<std::ptrdiff_t>(2, std::ssize(likely)), after) !=
                             likely.begin() + std::min<std::ptrdiff_t>(2, std::ssize(likely));
            }
            answers.push_back(c.bytes);
            answered.push_back({{c.quality, c.size}, c.bytes});
        }
    }
    ASSERT_GT(asked, 1000);
    EXPECT_GE(predicted * 100, asked * 30) << predicted << " of " << asked;
}

// Values far outside the usual ranges must neither crash nor wrap around.
TEST(SizeTargetSearch, ExtremeInputsStayInRange) {
    const int big = INT_MAX, small = INT_MIN;
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Search search;
        std::function<Bytes(int)> bytes;
    };
    auto tooLarge = [](int) -> Bytes { return 199999; };
    auto stepAt = [](int edge) { return [edge](int q) -> Bytes { return q <= edge ? 50000 : 300000; }; };
    const PixelSize base{4000, 3000};
    const std::vector<Case> cases{
        {{big, big - 40, 100000, big, 200000, base, true, SearchBudget::standard}, tooLarge},
        {{big, 1, 100000, big, 200000, base, true, SearchBudget::standard}, stepAt(big - 7)},
        {{big, big / 2, 100000, big, 200000, base, true, SearchBudget::standard}, stepAt(big - 3)},
        {{big, 1, 100000, big, 200000, base, true, budget(big, big, big, 0.97, 0)}, tooLarge},
        {{small, small, 100000, small, 200000, base, true, SearchBudget::standard}, tooLarge},
        {{80, 30, 1, 80, huge, base, true, SearchBudget::standard}, [](int) -> Bytes { return 2; }},
        {{80, 30, huge - 1, 80, huge, base, true, SearchBudget::standard}, [](int) -> Bytes { return std::numeric_limits<std::int64_t>::max(); }},
        {{80, 30, 100000, 80, 200000, base, true, budget(16, 6, 3, nan, nan)}, stepAt(60)},
        {{80, 30, 100000, 80, 200000, base, true, budget(16, 6, 3, 0, -5)}, stepAt(60)},
        {{80, 30, 100000, 80, 200000, base, true, budget(16, 6, 3, 2, 1e300)}, stepAt(60)},
        {{80, 30, 100000, 80, 200000, PixelSize{big, big}, true, budget(-3, 6, 3, 0.97, 0)}, tooLarge},
        {{80, 30, 100000, 80, 200000, PixelSize{big, 1}, true, budget(big, big, big, 0.97, 0)}, tooLarge},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Case& c = cases[i];
        Harness h{[&](int q, std::optional<PixelSize>) { return c.bytes(q); }};
        checkOutcome(c.search, h.run(c.search), h);
    }
    EXPECT_EQ(Search::reproject({{small, 0.0}, {big, 1.0}}, 0, 0.75, small, big), big / 2);
    EXPECT_EQ(Search::reproject({{big, 0.0}, {small, 1.0}}, 0, 0.5, small, big), -1);
    const double inf = std::numeric_limits<double>::infinity();
    const int q = Search::reproject({{50, -inf}, {60, inf}}, 0, 0, 30, 90);
    EXPECT_TRUE(q >= 30 && q <= 90) << q;
}

}  // namespace
}  // namespace dorvex
