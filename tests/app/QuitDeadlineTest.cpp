// What keeps a quit the system asked for from hanging: the time limit on the whole process, and
// the quit signal sent again. Each dies in a child process of its own.
#include "SystemQuit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The finishing that never returns.
[[noreturn]] void hang() {
    for (;;) {
        std::this_thread::sleep_for(1h);
    }
}

class QuitDeadlineDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST_F(QuitDeadlineDeathTest, AQuitThatHangsEndsAtItsLimitWithAFailure) {
    EXPECT_EXIT(
        {
            app::endProcessAfter(100ms);
            hang();
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "did not end in time");
}

TEST_F(QuitDeadlineDeathTest, TheSameQuitSignalAgainEndsAtOnce) {
    EXPECT_EXIT(
        {
            auto installed = app::QuitSignals::install();
            if (installed) {
                std::raise(SIGTERM);
                std::raise(SIGTERM);
            }
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "asked again to quit");
}
