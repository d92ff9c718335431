// The test main of binaries that show windows: like TestMain.cpp, but with a QGuiApplication
// when an X display answers. Without one (a plain build, test discovery) a QCoreApplication,
// so the display-free tests still run and the others skip. Built with KORVANE_TEST_OFFSCREEN,
// always a QGuiApplication on the offscreen platform.
#include <QCoreApplication>
#include <QGuiApplication>

#include "TestHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#if defined(__SANITIZE_THREAD__)
// Like libQt6Core in scripts/tsan.supp: the GUI libraries synchronise their own threads (xcb
// event reader, scene graph renderer, image scaling pool, GLib's main-context wake-ups, Mesa's
// software rasteriser threads) inside uninstrumented code.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Gui.so.6\nrace:libQt6Quick.so.6\nrace:libQt6XcbQpa.so.6\nrace:libglib-2.0."
           "so.0\n"
           "race:swrast_dri.so\n";
}
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// Buffers D-Bus and fontconfig keep for the life of the process, once Qt's platform plugin
// touched them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}
#endif

namespace {
[[maybe_unused]] bool displayAnswers() {
    if (!std::getenv("DISPLAY")) {
        return false;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = !xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    const auto home = makePrivateTestHome();
    if (!home) {
        return 1;
    }
    std::unique_ptr<QCoreApplication> app;
#if defined(KORVANE_TEST_OFFSCREEN)
    // Windows without any display: the views load and lay out, nothing is shown.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bool gui = true;
#else
    const bool gui = displayAnswers();
    if (gui) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 0);
    }
#endif
    if (gui) {
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();
#if defined(__SANITIZE_ADDRESS__)
    // Checked while the GUI plugins are still loaded, so the system libraries' own leftovers can
    // be named (and suppressed) apart from ours.
    __lsan_do_leak_check();
#endif
    app.reset();
    removePrivateTestHome(*home);
    return result;
}
