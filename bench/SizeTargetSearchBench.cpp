// Runs the size-target search over many seeded encoder size models and prints how many encodes
// it spends and how often and how closely it meets the byte limit, per search budget; and, for
// the standard budget, how often the encode asked for next was among the one or two started
// ahead (SizeTargetSearch::likelyNext) and the encodes a job then waits for, one after the other,
// when each takes the same time (an encode started ahead at the same size is ready when asked
// for; the first encode at a new size never is, since its input is written by that encode).
//
//   SizeTargetSearchBench [jobs] [seed]      (defaults: 20000 jobs, seed 1)

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "dorvex/image/SizeTargetSearch.h"

using namespace dorvex;

namespace {

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// One image as an encoder sees it: bytes ≈ A · e^(k·(q − 100)) · (area ratio)^α, flat over an
// optional plateau of qualities, with deterministic jitter per (quality, pixel size).
struct Model {
    double logA, k, alpha, jitter;
    int plateauLo, plateauHi;
    PixelSize base;
    std::uint64_t seed;

    std::int64_t bytes(int q, std::optional<PixelSize> size) const {
        const double qe = (q >= plateauLo && q <= plateauHi) ? plateauLo : q;
        const double area =
            size ? double(size->width) * double(size->height) / (double(base.width) * double(base.height)) : 1.0;
        const std::uint64_t key = std::uint64_t(q) ^ (size ? std::uint64_t(size->width) << 32 | std::uint64_t(size->height) << 16 : 0);
        const double u = double(mix(seed ^ mix(key)) >> 11) * 0x1.0p-53;
        const double logB = logA + k * (qe - 100) + alpha * std::log(area) + jitter * (2 * u - 1);
        return std::max<std::int64_t>(1, std::llround(std::exp(logB)));
    }
};

struct Job {
    Model model;
    int initialQuality, ceiling, floor;
    double limitRatio;  // limit ÷ first encode
};

Job makeJob(std::mt19937_64& rng) {
    auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto chance = [&](double p) { return uni(0, 1) < p; };
    Model m{};
    m.seed = rng();
    const double kind = uni(0, 1);
    if (kind < 0.55) {  // photographs
        m.k = uni(0.02, 0.05), m.alpha = uni(0.8, 1.0), m.jitter = uni(0, 0.02);
    } else if (kind < 0.8) {  // screenshots, graphics: flat curves, wide plateaus
        m.k = uni(0.004, 0.02), m.alpha = uni(0.55, 0.85), m.jitter = uni(0, 0.04);
    } else {  // noisy or detailed images
        m.k = uni(0.04, 0.08), m.alpha = uni(0.9, 1.05), m.jitter = uni(0.005, 0.05);
    }
    m.plateauLo = 0, m.plateauHi = -1;
    if (chance(kind < 0.55 ? 0.15 : 0.5)) {
        m.plateauLo = int(uni(30, 95));
        m.plateauHi = m.plateauLo + int(uni(2, 16));
    }
    const std::array<PixelSize, 6> sizes{{{640, 480}, {1280, 720}, {1920, 1080}, {3024, 4032}, {6000, 4000}, {800, 2400}}};
    m.base = sizes[std::size_t(uni(0, double(sizes.size())))];
    m.logA = std::log(double(m.base.width) * m.base.height) + uni(-1.5, 1.0);  // about 0.2–2.7 bytes a pixel at q 100

    const std::array<int, 6> levelQualities{94, 84, 74, 64, 54, 44};
    Job job{m, levelQualities[std::size_t(uni(0, 6))], 100, 30, std::exp(uni(std::log(0.05), std::log(0.95)))};
    if (chance(0.2)) job.ceiling = 94;  // lossy formats capped below 100
    job.ceiling = std::min(job.ceiling, job.initialQuality);
    return job;
}

struct Stats {
    std::vector<int> encodes;
    std::array<int, 3> waits{};  // encodes waited for, with 0, 1 and 2 started ahead
    int asked = 0;
    std::array<int, 3> hits{};
    int fitExists = 0, metWhenFitExists = 0, met = 0, bestQualityWhenFitExists = 0;
    std::vector<double> metRatio;
    std::map<std::string, int> reasons;
};

double percentile(std::vector<int> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int jobCount = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

    std::mt19937_64 rng(seed);
    std::vector<Job> jobs;
    for (int i = 0; i < jobCount; ++i) jobs.push_back(makeJob(rng));

    const std::array<std::pair<const char*, SearchBudget>, 2> budgets{
        {{"standard", SearchBudget::standard}, {"slow", SearchBudget::slow}}};
    std::array<Stats, 2> stats;
    std::array<double, 2> seconds{};
    for (std::size_t b = 0; b < budgets.size(); ++b) {
        Stats& st = stats[b];
        for (const Job& job : jobs) {
            const std::int64_t initialBytes = job.model.bytes(job.initialQuality, std::nullopt);
            const std::int64_t limit = std::max<std::int64_t>(1, std::llround(double(initialBytes) * job.limitRatio));
            const SizeTargetSearch search{job.ceiling, job.floor, limit, job.initialQuality, initialBytes,
                                          job.model.base, true, budgets[b].second};
            int made = 0;
            const auto start = std::chrono::steady_clock::now();
            const auto out = search.run(
                [&](int, int q, std::optional<PixelSize> size) -> std::optional<std::int64_t> {
                    ++made;
                    return job.model.bytes(q, size);
                },
                [] { return false; });
            seconds[b] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

            // The best the search could do at full size: the highest quality below the first
            // one that fits.
            std::optional<int> bestQuality;
            for (int q = std::max(job.floor, 1); q < std::min(job.ceiling + 1, job.initialQuality); ++q) {
                if (job.model.bytes(q, std::nullopt) <= limit) bestQuality = q;
            }
            st.encodes.push_back(made);
            if (b == 0) {
                // Replays the run: before each encode, the requests likely to follow it.
                std::vector<SizeTargetSearch::Answer> answered;
                std::optional<PixelSize> previousSize;
                for (std::size_t i = 0; i < out.attempts.size() + (out.stopReason == SearchStopReason::encodeFailed); ++i) {
                    const auto request = search.nextRequest([&] {
                        std::vector<std::optional<std::int64_t>> answers;
                        for (const auto& a : answered) answers.push_back(a.bytes);
                        return answers;
                    }());
                    if (!request) break;
                    const bool newSize = i == 0 ? false : request->pixelSize != previousSize;
                    for (int ahead = 0; ahead <= 2; ++ahead) {
                        bool ready = false;
                        if (i > 0 && !newSize && ahead > 0) {
                            const auto likely = search.likelyNext(
                                std::span(answered).first(answered.size() - 1), answered.back().request, 0.019);
                            for (int k = 0; k < ahead && k < int(likely.size()); ++k) ready |= likely[std::size_t(k)] == *request;
                            if (ahead == 1) st.asked += 1;
                            st.hits[std::size_t(ahead)] += ready;
                        }
                        st.waits[std::size_t(ahead)] += !ready;
                    }
                    previousSize = request->pixelSize;
                    answered.push_back({*request, job.model.bytes(request->quality, request->pixelSize)});
                }
            }
            st.reasons[std::string(rawValue(out.stopReason))] += 1;
            if (out.maxSizeMet) {
                st.met += 1;
                st.metRatio.push_back(double(out.chosen.bytes) / double(limit));
            }
            if (bestQuality) {
                st.fitExists += 1;
                st.metWhenFitExists += out.maxSizeMet;
                st.bestQualityWhenFitExists += !out.chosen.pixelSize && out.chosen.quality == *bestQuality;
            }
        }
    }

    auto share = [](int part, int whole) { return whole ? 100.0 * part / whole : 0.0; };
    std::printf("Size-target search over %d seeded size models (seed %llu; the same jobs for each budget)\n\n",
                jobCount, static_cast<unsigned long long>(seed));
    std::printf("%-52s %12s %12s\n", "", budgets[0].first, budgets[1].first);
    auto row = [&](const char* label, auto value, int decimals) {
        std::printf("%-52s", label);
        for (std::size_t b = 0; b < stats.size(); ++b) std::printf(" %12.*f", decimals, double(value(stats[b])));
        std::printf("\n");
    };
    row("encodes per job, median", [](const Stats& s) { return percentile(s.encodes, 0.5); }, 0);
    row("encodes per job, 90th percentile", [](const Stats& s) { return percentile(s.encodes, 0.9); }, 0);
    row("encodes per job, maximum", [](const Stats& s) { return percentile(s.encodes, 1.0); }, 0);
    row("jobs with a fitting quality at full size", [](const Stats& s) { return s.fitExists; }, 0);
    row("  of those, within the limit (%)", [&](const Stats& s) { return share(s.metWhenFitExists, s.fitExists); }, 2);
    row("  of those, at the best full-size quality (%)",
        [&](const Stats& s) { return share(s.bestQualityWhenFitExists, s.fitExists); }, 2);
    row("all jobs, within the limit (%)", [&](const Stats& s) { return share(s.met, jobCount); }, 2);
    row("chosen bytes / limit, median (jobs within it)", [](const Stats& s) { return median(s.metRatio); }, 4);
    for (const char* reason : {"alreadyMet", "converged", "roundBudgetExhausted", "encodeBudgetExhausted",
                               "unreachable", "cancelled", "encodeFailed"}) {
        const std::string label = std::string("stop reason ") + reason + " (%)";
        row(label.c_str(), [&](const Stats& s) {
            auto it = s.reasons.find(reason);
            return share(it == s.reasons.end() ? 0 : it->second, jobCount);
        }, 2);
    }
    std::printf("\nstandard budget, encodes started ahead (a quality step costs 0.019 log bytes before two are known)\n");
    std::printf("  asked for next among the first one: %.1f %%, among the first two: %.1f %% (of %d encodes after the first)\n",
                share(stats[0].hits[1], stats[0].asked), share(stats[0].hits[2], stats[0].asked), stats[0].asked);
    std::printf("  encodes waited for in all: %d alone, %d with one ahead, %d with two ahead\n\n", stats[0].waits[0],
                stats[0].waits[1], stats[0].waits[2]);
    row("search time per job, microseconds (model included)",
        [&](const Stats& s) { return 1e6 * seconds[std::size_t(&s - stats.data())] / jobCount; }, 2);
    return 0;
}
