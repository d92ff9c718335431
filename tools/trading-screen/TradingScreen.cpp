#include "TradingScreen.h"

#include <algorithm>
#include <cstdlib>

namespace tradingscreen {

namespace {

constexpr std::uint32_t kBackground = 0x14171B;
constexpr std::uint32_t kGrid = 0x22272D;
constexpr std::uint32_t kPanelBackground = 0x1C2127;
constexpr std::uint32_t kUp = 0x26A65B;
constexpr std::uint32_t kDown = 0xD64541;
constexpr std::uint32_t kText = 0xC8CDD2;
constexpr int kTickerHeight = 24;

// A small deterministic generator: the same seed gives the same quotes on every run.
struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    int below(int limit) { return static_cast<int>(next() % static_cast<std::uint32_t>(limit)); }
};

}  // namespace

TradingScreen::TradingScreen(xcb_connection_t* c, int x, int y, int width, int height)
    : m_c(c), m_width(width), m_height(height) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    m_backing = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, m_backing, screen->root,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
    m_gc = xcb_generate_id(c);
    const std::uint32_t gcValues[] = {kBackground, 0};
    xcb_create_gc(c, m_gc, m_backing, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);

    // Three panels of about 300 x 200 spread over the desk, whatever its size.
    const int panelWidth = std::min(300, width / 4);
    const int panelHeight = std::min(200, height / 4);
    m_panels = {Box{width / 16, height / 8, panelWidth, panelHeight},
                Box{width * 7 / 16, height * 3 / 8, panelWidth, panelHeight},
                Box{width * 12 / 16, height * 3 / 16, panelWidth, panelHeight}};
    m_ticker = {0, height - kTickerHeight - 12, width, kTickerHeight};

    m_tapeLength = std::max(width, 1200);
    m_tape = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, m_tape, screen->root,
                      static_cast<std::uint16_t>(2 * m_tapeLength),
                      static_cast<std::uint16_t>(kTickerHeight));
    drawStill();

    m_window = xcb_generate_id(c);
    const std::uint32_t values[] = {m_backing, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, m_window, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, m_window);
    xcb_flush(c);
}

TradingScreen::~TradingScreen() {
    xcb_destroy_window(m_c, m_window);
    xcb_free_pixmap(m_c, m_tape);
    xcb_free_pixmap(m_c, m_backing);
    xcb_free_gc(m_c, m_gc);
    xcb_flush(m_c);
}

void TradingScreen::fill(std::uint32_t color, Box box) {
    xcb_change_gc(m_c, m_gc, XCB_GC_FOREGROUND, &color);
    const xcb_rectangle_t r{static_cast<std::int16_t>(box.x), static_cast<std::int16_t>(box.y),
                            static_cast<std::uint16_t>(std::max(box.width, 0)),
                            static_cast<std::uint16_t>(std::max(box.height, 0))};
    xcb_poly_fill_rectangle(m_c, m_backing, m_gc, 1, &r);
}

void TradingScreen::drawStill() {
    fill(kBackground, {0, 0, m_width, m_height});
    for (int x = 0; x < m_width; x += 40) {
        fill(kGrid, {x, 0, 1, m_height});
    }
    for (int y = 0; y < m_height; y += 40) {
        fill(kGrid, {0, y, m_width, 1});
    }
    // A price chart across the lower half and an order book on the right: still, but busy
    // enough to cost an encoder something.
    Random random{7};
    int level = m_height * 2 / 3;
    for (int x = 20; x + 8 < m_width * 2 / 3; x += 9) {
        const int open = level;
        level = std::clamp(level + random.below(41) - 20, m_height / 2, m_height - 80);
        const Box body{x, std::min(open, level), 6, std::max(std::abs(open - level), 1)};
        fill(level < open ? kUp : kDown, body);
        fill(kText, {x + 2, body.y - random.below(12), 2, body.height + random.below(24)});
    }
    for (int row = 0; row < 30 && 60 + row * 18 < m_height - 60; ++row) {
        const int y = 60 + row * 18;
        fill(row < 15 ? kDown : kUp, {m_width - 260, y, 40 + random.below(180), 12});
        fill(kText, {m_width - 60, y + 2, 40, 8});
    }
    for (int i = 0; i < kPanels; ++i) {
        drawPanel(i, static_cast<std::uint32_t>(i + 1));
    }
    // The tape: blocky glyphs in groups, like symbols and prices.
    const Box wholeTape{0, 0, 2 * m_tapeLength, kTickerHeight};
    std::uint32_t color = 0x0E1013;
    xcb_change_gc(m_c, m_gc, XCB_GC_FOREGROUND, &color);
    const xcb_rectangle_t tapeRect{0, 0, static_cast<std::uint16_t>(wholeTape.width),
                                   static_cast<std::uint16_t>(wholeTape.height)};
    xcb_poly_fill_rectangle(m_c, m_tape, m_gc, 1, &tapeRect);
    Random glyphs{11};
    for (int x = 8; x + 12 < m_tapeLength; x += 12) {
        if (glyphs.below(7) == 0) {
            x += 18;  // a gap between quotes
            continue;
        }
        color = glyphs.below(3) == 0 ? kDown : glyphs.below(2) == 0 ? kUp : kText;
        xcb_change_gc(m_c, m_gc, XCB_GC_FOREGROUND, &color);
        const std::uint32_t bits = glyphs.next();
        for (int cell = 0; cell < 15; ++cell) {
            if (!(bits >> cell & 1)) {
                continue;
            }
            for (int copy = 0; copy < 2; ++copy) {
                const xcb_rectangle_t r{
                    static_cast<std::int16_t>(copy * m_tapeLength + x + (cell % 3) * 3),
                    static_cast<std::int16_t>(5 + (cell / 3) * 3), 3, 3};
                xcb_poly_fill_rectangle(m_c, m_tape, m_gc, 1, &r);
            }
        }
    }
    drawTicker(0);
}

void TradingScreen::drawPanel(int index, std::uint32_t seed) {
    const Box box = m_panels[static_cast<std::size_t>(index)];
    Random random{seed * 2654435761u + static_cast<std::uint32_t>(index)};
    fill(kPanelBackground, box);
    // A header whose colour follows the last move, then bars of the recent trades.
    const bool up = random.below(2) == 0;
    fill(up ? kUp : kDown, {box.x, box.y, box.width, 22});
    for (int digit = 0; digit < 6; ++digit) {
        fill(kText, {box.x + 10 + digit * 14, box.y + 5, 10, 4 + random.below(9)});
    }
    const int bars = 16;
    const int barWidth = (box.width - 20) / bars;
    for (int i = 0; i < bars; ++i) {
        const int height = 10 + random.below(box.height - 50);
        fill(random.below(2) == 0 ? kUp : kDown,
             {box.x + 10 + i * barWidth, box.y + box.height - 8 - height, barWidth - 3, height});
    }
    show(box);
}

void TradingScreen::drawTicker(int offset) {
    const int from = ((offset % m_tapeLength) + m_tapeLength) % m_tapeLength;
    xcb_copy_area(m_c, m_tape, m_backing, m_gc, static_cast<std::int16_t>(from), 0,
                  static_cast<std::int16_t>(m_ticker.x), static_cast<std::int16_t>(m_ticker.y),
                  static_cast<std::uint16_t>(m_ticker.width),
                  static_cast<std::uint16_t>(m_ticker.height));
    show(m_ticker);
}

void TradingScreen::show(Box box) {
    if (m_window) {
        xcb_clear_area(m_c, 0, m_window, static_cast<std::int16_t>(box.x),
                       static_cast<std::int16_t>(box.y), static_cast<std::uint16_t>(box.width),
                       static_cast<std::uint16_t>(box.height));
    }
}

void TradingScreen::advance(int tick) {
    drawTicker(tick * kTickerStep);
    const int periods[kPanels] = {3, 6, 15};  // 10, 5 and 2 Hz at 30 ticks a second
    for (int i = 0; i < kPanels; ++i) {
        if (tick % periods[i] == 0) {
            drawPanel(i, static_cast<std::uint32_t>(tick / periods[i] + 100));
        }
    }
}

}  // namespace tradingscreen
