#include "app/SingleInstance.h"

#include "tests/support/EventLoopFixture.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

class SingleInstance : public WidgetTest {
protected:
    QTemporaryDir dir;
    QString settings = dir.path() + "/postlark.ini";
};

TEST_F(SingleInstance, ALaterCopyCallsTheFirstForward) {
    TSingleInstance first(settings);
    int calls = 0;
    first.OnShowRequest = [&calls] { ++calls; };
    ASSERT_TRUE(first.Claim());
    EXPECT_TRUE(QFile::exists(settings + ".lock"));

    TSingleInstance later(settings);
    EXPECT_FALSE(later.Claim());
    EXPECT_TRUE(later.CallFirstCopy());
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));

    // Another settings file is another program.
    TSingleInstance other(dir.path() + "/other.ini");
    EXPECT_TRUE(other.Claim());
}

TEST_F(SingleInstance, TheLockGoesWithTheFirstCopy) {
    {
        TSingleInstance first(settings);
        ASSERT_TRUE(first.Claim());
    }
    EXPECT_FALSE(QFile::exists(settings + ".lock"));
    TSingleInstance next(settings);
    EXPECT_TRUE(next.Claim());
}

TEST_F(SingleInstance, AFolderWithoutRoomForTheLockDoesNotStopTheProgram) {
    TSingleInstance nowhere("/proc/self/postlark.ini");
    EXPECT_TRUE(nowhere.Claim());
}

} // namespace
