// Every test binary starts here: a private config and data home, so no test ever reads or writes
// the user's settings, and a QCoreApplication for the main queue.
#include <QCoreApplication>

#include "TestHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    const auto home = makePrivateTestHome();
    if (!home) {
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();
    removePrivateTestHome(*home);
    return result;
}
