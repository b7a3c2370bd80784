#pragma once
// RunProgress: how far a run of files has come and the time it has left, as the command line's
// live line and the application's summary bar both show it: "3/40 · 预计剩余 1:05".

#include <optional>
#include <string>

namespace dorvex::RunProgress {

// The seconds the `total − finished` files still to go will take at the pace of the first
// `finished` ones, which took `elapsed` seconds; files under way count as not begun. None before
// the first file finished and once every one has.
std::optional<double> secondsLeft(double elapsed, int finished, int total);

// "3/40", or "3/40 · 预计剩余 1:05" with an estimate.
std::string text(int finished, int total, std::optional<double> secondsLeft);

}  // namespace dorvex::RunProgress
