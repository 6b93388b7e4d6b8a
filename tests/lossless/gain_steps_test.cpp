#include "lossless/gain_steps.h"

#include <gtest/gtest.h>

namespace sonorix::lossless {

// Rounding that goes the wrong way clips (Down) or misses a target by a step.
TEST(GainSteps, RoundDownNeverExceedsAndNearestIsClosest) {
    struct Case {
        double db;
        int down, nearest, opus_down;
    } cases[] = {
        {0.0, 0, 0, 0},     {6.020599913, 4, 4, 1541},  // exactly four steps stays four
        {5.10, 3, 3, 1305}, {2.30, 1, 2, 588},         {-0.5, -1, 0, -128}, {-3.0, -2, -2, -768},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.db);
        EXPECT_EQ(steps_for(c.db, StepRounding::Down), c.down);
        EXPECT_EQ(steps_for(c.db, StepRounding::Nearest), c.nearest);
        EXPECT_LE(db_of_steps(steps_for(c.db, StepRounding::Down)), c.db + 1e-9);
        EXPECT_EQ(opus_gain_q8(c.db, StepRounding::Down), c.opus_down);
    }
}

}  // namespace sonorix::lossless
