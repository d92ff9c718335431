// Shows the trading desk full-screen and keeps it ticking at 30 Hz until it is terminated (or
// for --seconds N).
//   korvane-trading-screen [--seconds N]
#include "TradingScreen.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void stop(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;
    if (argc == 3 && std::string(argv[1]) == "--seconds") {
        seconds = std::stod(argv[2]);
    }
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "korvane-trading-screen: no X display\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    int tick = 0;
    {
        tradingscreen::TradingScreen desk(c, 0, 0, screen->width_in_pixels,
                                          screen->height_in_pixels);
        const auto start = std::chrono::steady_clock::now();
        const auto interval = std::chrono::nanoseconds(1'000'000'000 / 30);
        while (!g_stop && !xcb_connection_has_error(c)) {
            desk.advance(tick);
            xcb_flush(c);
            ++tick;
            const auto next = start + interval * tick;
            if (seconds > 0 && next - start > std::chrono::duration<double>(seconds)) {
                break;
            }
            std::this_thread::sleep_until(next);
        }
    }
    xcb_disconnect(c);
    return 0;
}
