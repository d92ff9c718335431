#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>

namespace tradingscreen {

struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A trader's desk in one override-redirect window: a still picture (grid, chart, order book)
// with three quote panels and a one-line ticker that change. Everything is drawn into a backing
// pixmap that is also the window's background, so the server repaints exposures by itself and
// an update reaches the screen as a clear of just the changed area, as a toolkit's would.
class TradingScreen {
  public:
    static constexpr int kPanels = 3;
    static constexpr int kTickerStep = 3;  // pixels per 1/30 s

    TradingScreen(xcb_connection_t* c, int x, int y, int width, int height);
    ~TradingScreen();
    TradingScreen(const TradingScreen&) = delete;
    TradingScreen& operator=(const TradingScreen&) = delete;

    xcb_window_t window() const { return m_window; }
    Box panel(int index) const { return m_panels[static_cast<std::size_t>(index)]; }
    Box ticker() const { return m_ticker; }

    // One tick of a 30 Hz clock: the ticker moves on every tick, the panels redraw at 10, 5 and
    // 2 Hz. Requests are queued, not flushed.
    void advance(int tick);
    // Redraws one panel with the quotes that seed stands for.
    void drawPanel(int index, std::uint32_t seed);
    // Shows the ticker scrolled by offset pixels.
    void drawTicker(int offset);

  private:
    void fill(std::uint32_t color, Box box);
    void drawStill();
    void show(Box box);

    xcb_connection_t* m_c;
    int m_width;
    int m_height;
    xcb_window_t m_window = 0;
    xcb_pixmap_t m_backing = 0;
    xcb_pixmap_t m_tape = 0;  // the ticker's text, twice over, to scroll through
    int m_tapeLength = 0;
    xcb_gcontext_t m_gc = 0;
    std::array<Box, kPanels> m_panels;
    Box m_ticker;
};

}  // namespace tradingscreen
