// The count and the time left of a run, shared by the command line's live line and the app.

#include "dorvex/text/RunProgress.h"

#include <gtest/gtest.h>

using namespace dorvex;

TEST(RunProgress, EstimateAtThePaceSoFar) {
    struct Case {
        double elapsed;
        int finished, total;
        std::optional<double> left;
    };
    for (const Case& c : std::initializer_list<Case>{
             {10, 0, 4, std::nullopt},  // nothing finished yet: no pace to go by
             {10, 1, 4, 30},
             {10, 2, 4, 10},
             {10, 4, 4, std::nullopt},  // done
             {10, 5, 4, std::nullopt},  // more finished than expected (files added and removed)
             {-1, 1, 2, 0},             // a clock that went back never gives a negative time
         }) {
        EXPECT_EQ(RunProgress::secondsLeft(c.elapsed, c.finished, c.total), c.left) << c.elapsed << " " << c.finished;
    }
    EXPECT_EQ(RunProgress::text(3, 40, std::nullopt), "3/40");
    EXPECT_EQ(RunProgress::text(3, 40, 65.4), "3/40 · 预计剩余 1:05");
    EXPECT_EQ(RunProgress::text(0, 1, 3725), "0/1 · 预计剩余 1:02:05");
}
