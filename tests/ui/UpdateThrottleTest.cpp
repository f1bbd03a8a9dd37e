#include "ui/UpdateThrottle.h"

#include "tests/support/EventLoopFixture.h"

#include <QElapsedTimer>

namespace {

class UpdateThrottleTest : public EventLoopTest {
protected:
    int runs = 0;
    TUpdateThrottle throttle{50, [this] { ++runs; }};
};

TEST_F(UpdateThrottleTest, ALoneRequestRunsAtOnceAndABurstOnceAtTheEndOfThePeriod) {
    throttle.Request();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(throttle.Pending());
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 100; ++i)
        throttle.Request();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(throttle.Pending());
    ASSERT_TRUE(PumpUntil([&] { return runs == 2; }, 1000));
    EXPECT_GE(clock.elapsed(), 40);
    PumpFor(120);
    EXPECT_EQ(runs, 2) << "nothing was asked for since";

    // After a quiet period the next request runs at once again.
    throttle.Request();
    EXPECT_EQ(runs, 3);
}

} // namespace
