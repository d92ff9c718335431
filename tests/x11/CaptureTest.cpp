#include "x11/X11CaptureStream.h"
#include "x11/X11WindowServer.h"

#include "Eventually.h"
#include "X11TestDesktop.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using platform::CaptureError;
using platform::CaptureStream;
using platform::PixelBuffer;
using platform::Rect;
using Clock = std::chrono::steady_clock;

namespace {
using x11test::TestDesktop;

constexpr std::uint32_t kRed = 0xFFFF0000;
constexpr std::uint32_t kBlue = 0xFF0000FF;
constexpr std::uint32_t kGreen = 0xFF00FF00;

// Receives frames on a queue of its own, as the recorder does; keeps only the latest.
class FrameSink {
  public:
    void attach(CaptureStream& stream) {
        stream.addStreamOutput(
            platform::StreamOutputType::screen,
            [this](const platform::VideoSample& sample, platform::StreamOutputType) {
                std::lock_guard lock(m_mutex);
                m_latest = sample.imageBuffer;
                m_latestTime = sample.presentationTime;
                m_times.push_back(sample.presentationTime.seconds());
                ++m_count;
            },
            m_queue);
    }

    int count() {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

    // Every frame's capture time, in seconds.
    std::vector<double> times() {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

    std::shared_ptr<const PixelBuffer> latest() {
        std::lock_guard lock(m_mutex);
        return m_latest;
    }

    // The first frame captured after `after`, or null when none comes within 5 s.
    std::shared_ptr<const PixelBuffer> frameAfter(Clock::time_point after) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(after.time_since_epoch()).count();
        std::shared_ptr<const PixelBuffer> frame;
        eventually([&] {
            std::lock_guard lock(m_mutex);
            if (m_latest && m_latestTime.convertScale(1'000'000'000).value > ns) {
                frame = m_latest;
            }
            return frame != nullptr;
        });
        return frame;
    }

  private:
    std::mutex m_mutex;
    std::shared_ptr<const PixelBuffer> m_latest;
    platform::MediaTime m_latestTime;
    std::vector<double> m_times;
    int m_count = 0;
    platform::SerialQueue m_queue{"test.capture.frames"};  // last: drained before the rest goes
};

std::optional<CaptureError> await(const std::function<void(CaptureStream::Completion)>& call) {
    auto promise = std::make_shared<std::promise<std::optional<CaptureError>>>();
    auto future = promise->get_future();
    call([promise](std::optional<CaptureError> error) { promise->set_value(std::move(error)); });
    if (future.wait_for(10s) != std::future_status::ready) {
        return CaptureError{"test", -1, "no completion within 10 s"};
    }
    return future.get();
}

std::optional<CaptureError> start(CaptureStream& stream) {
    return await([&](auto completion) { stream.startCapture(std::move(completion)); });
}

std::optional<CaptureError> stop(CaptureStream& stream) {
    return await([&](auto completion) { stream.stopCapture(std::move(completion)); });
}

::testing::AssertionResult colorAt(const PixelBuffer& frame, double x, double y,
                                   std::uint32_t expected) {
    std::uint32_t actual;
    std::memcpy(&actual, frame.row(static_cast<int>(y)) + 4 * static_cast<int>(x), 4);
    // The fourth byte may be padding: the picture is opaque.
    for (int shift = 0; shift < 24; shift += 8) {
        if (std::abs(int((actual >> shift) & 0xFF) - int((expected >> shift) & 0xFF)) > 8) {
            return ::testing::AssertionFailure() << "pixel (" << int(x) << ", " << int(y) << ") is "
                                                 << std::hex << actual << ", not " << expected;
        }
    }
    return ::testing::AssertionSuccess();
}

std::string describe(const std::optional<CaptureError>& error) {
    return error ? error->domain + ": " + error->localizedDescription : "no error";
}

const platform::ShareableWindow* find(const std::vector<platform::ShareableWindow>& windows,
                                      xcb_window_t id) {
    auto it = std::find_if(windows.begin(), windows.end(),
                           [&](const auto& w) { return w.windowID == id; });
    return it == windows.end() ? nullptr : &*it;
}

// System V segments this process made that still exist: one lives until both this process
// and the X server have let go of it.
int sharedSegmentsOfOurs() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);  // the heading
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0, id = 0, perms = 0, size = 0, creator = 0;
        if (fields >> key >> id >> perms >> size >> creator && creator == getpid()) {
            ++count;
        }
    }
    return count;
}

}  // namespace

TEST(X11WindowServerTest, ListsDisplaysAndOtherApplicationsWindowsAndFollowsThem) {
    SKIP_WITHOUT_DISPLAY();
    auto server = platform::makeX11WindowServer();
    ASSERT_NE(server, nullptr);
    TestDesktop desktop;

    const auto displays = server->displays();
    ASSERT_FALSE(displays.empty());
    const auto root = desktop.rootRect(desktop.root());
    ASSERT_TRUE(root);
    double right = 0, bottom = 0;
    for (const auto& display : displays) {
        right = std::max(right, display.frame.x + display.frame.width);
        bottom = std::max(bottom, display.frame.y + display.frame.height);
        EXPECT_EQ(server->displayBounds(display.displayID), display.frame);
    }
    EXPECT_EQ(right, root->width);
    EXPECT_EQ(bottom, root->height);
    EXPECT_EQ(server->screenFrames().size(), displays.size());

    const auto back =
        desktop.make({.name = "Korvane Back", .className = "KorvaneBack", .x = 40, .y = 700});
    desktop.waitUntilViewable(back);
    const auto front = desktop.make(
        {.netName = "Korvane Vorn \xC3\xBC", .className = "KorvaneFront", .x = 80, .y = 740});
    const auto own = desktop.make(
        {.netName = "Korvane Own", .pid = static_cast<std::uint32_t>(getpid()), .x = 40, .y = 700});
    const auto dock = desktop.make(
        {.netName = "Korvane Dock", .type = "_NET_WM_WINDOW_TYPE_DOCK", .x = 40, .y = 700});
    ASSERT_TRUE(eventually([&] {
        return desktop.inClientList(back) && desktop.inClientList(front) &&
               desktop.inClientList(own) && desktop.inClientList(dock);
    }));

    auto windows = server->windows();
    const auto* frontEntry = find(windows, front);
    const auto* backEntry = find(windows, back);
    ASSERT_TRUE(frontEntry && backEntry);
    EXPECT_LT(frontEntry - windows.data(), backEntry - windows.data()) << "front to back";
    EXPECT_EQ(frontEntry->title, "Korvane Vorn \xC3\xBC");
    EXPECT_EQ(frontEntry->applicationID, "KorvaneFront");
    EXPECT_EQ(backEntry->title, "Korvane Back");
    EXPECT_EQ(std::optional(frontEntry->frame), desktop.rootRect(front));
    EXPECT_EQ(find(windows, own), nullptr) << "a window of our own process";
    EXPECT_EQ(find(windows, dock), nullptr) << "a dock";

    const Rect before = backEntry->frame;
    desktop.configure(
        back, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y,
        {static_cast<std::uint32_t>(before.x + 70), static_cast<std::uint32_t>(before.y + 50)});
    EXPECT_TRUE(eventually([&] {
        const auto bounds = server->windowBounds(back);
        return bounds && bounds->x != before.x && bounds == desktop.rootRect(back);
    }));

    desktop.destroy(back);
    EXPECT_TRUE(eventually([&] { return !server->windowBounds(back); }));
    EXPECT_EQ(find(server->windows(), back), nullptr);
    for (const auto window : {front, own, dock}) {
        desktop.destroy(window);
    }
}

TEST(X11CaptureStreamTest, DisplayCaptureShowsThePatternInPlaceAndTheCursorOnRequest) {
    SKIP_WITHOUT_DISPLAY();
    auto server = platform::makeX11WindowServer();
    ASSERT_NE(server, nullptr);
    TestDesktop desktop;
    const auto window = desktop.make({.overrideRedirect = true, .x = 1480, .y = 40});
    const Rect placed = desktop.waitUntilViewable(window);
    const auto displays = server->displays();
    const auto display =
        *std::find_if(displays.begin(), displays.end(), [&](const auto& candidate) {
            const Rect& f = candidate.frame;
            return placed.x >= f.x && placed.x < f.x + f.width && placed.y >= f.y &&
                   placed.y < f.y + f.height;
        });
    const Rect d = display.frame;
    // The pointer over the red half: hidden unless the cursor is asked for.
    const double redX = placed.x - d.x + placed.width / 4;
    const double redY = placed.y - d.y + placed.height / 2;
    desktop.warpPointer(static_cast<int>(placed.x + placed.width / 4),
                        static_cast<int>(placed.y + placed.height / 2));

    platform::StreamConfiguration config;
    config.width = static_cast<int>(d.width / 2);
    config.height = static_cast<int>(d.height / 2);
    config.showsCursor = false;
    FrameSink sink;
    auto stream =
        platform::makeX11CaptureStream({.includedDisplays = {display}, .contentRect = d}, config);
    sink.attach(*stream);
    // A still screen is grabbed once, at the start, and then only when something changes.
    const auto started = Clock::now();
    ASSERT_EQ(start(*stream), std::nullopt);
    EXPECT_EQ(describe(start(*stream)), "X11CaptureStream: The capture is already running");

    auto frame = sink.frameAfter(started);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, config.width);
    EXPECT_EQ(frame->height, config.height);
    for (int dx = -8; dx <= 8; dx += 4) {
        EXPECT_TRUE(colorAt(*frame, (redX + dx) / 2, (redY + dx) / 2, kRed));
    }
    EXPECT_TRUE(colorAt(*frame, (placed.x - d.x + placed.width * 3 / 4) / 2, redY / 2, kBlue));
    EXPECT_EQ(stop(*stream), std::nullopt);
    const auto again = stop(*stream);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->domain, "X11CaptureStream");

    // Unscaled, with the cursor: something other than red near the pointer.
    config.width = static_cast<int>(d.width);
    config.height = static_cast<int>(d.height);
    config.showsCursor = true;
    FrameSink cursorSink;
    stream =
        platform::makeX11CaptureStream({.includedDisplays = {display}, .contentRect = d}, config);
    cursorSink.attach(*stream);
    const auto restarted = Clock::now();
    ASSERT_EQ(start(*stream), std::nullopt);
    frame = cursorSink.frameAfter(restarted);
    ASSERT_TRUE(frame);
    int notRed = 0;
    for (int dy = -8; dy <= 8; ++dy) {
        for (int dx = -8; dx <= 8; ++dx) {
            notRed += !colorAt(*frame, redX + dx, redY + dy, kRed);
        }
    }
    EXPECT_GT(notRed, 4);
    EXPECT_EQ(stop(*stream), std::nullopt);
    desktop.destroy(window);
}

TEST(X11CaptureStreamTest,
     WindowCaptureFitsTheWindowAtTheFrameRateEvenCoveredOrResizedAndEndsWithIt) {
    SKIP_WITHOUT_DISPLAY();
    TestDesktop desktop;
    const auto window = desktop.make({.netName = "Korvane Window Pattern", .x = 1400, .y = 700});
    const Rect w = desktop.waitUntilViewable(window);

    platform::StreamConfiguration config;
    config.width = 320;
    config.height = 320;
    config.showsCursor = true;
    config.backgroundColor = kGreen;
    FrameSink sink;
    auto stream = platform::makeX11CaptureStream(
        {.includedWindows = {{.windowID = window, .frame = w}}, .contentRect = w}, config);
    sink.attach(*stream);
    std::mutex endMutex;
    std::vector<std::string> ends;
    stream->setDidStopWithError([&](const platform::CaptureError& error) {
        std::lock_guard lock(endMutex);
        ends.push_back(error.localizedDescription);
    });
    const auto endsSoFar = [&] {
        std::lock_guard lock(endMutex);
        return ends;
    };
    const auto started = Clock::now();
    ASSERT_EQ(start(*stream), std::nullopt);

    // 400x200 into 320x320: 320x160 between green bars of 80.
    const auto checkLetterBox = [&](const PixelBuffer& frame) {
        EXPECT_TRUE(colorAt(frame, 80, 160, kRed));
        EXPECT_TRUE(colorAt(frame, 240, 160, kBlue));
        EXPECT_TRUE(colorAt(frame, 160, 40, kGreen));
        EXPECT_TRUE(colorAt(frame, 160, 290, kGreen));
    };
    auto frame = sink.frameAfter(started);
    ASSERT_TRUE(frame);
    checkLetterBox(*frame);
    frame.reset();

    // Still, the window gives no frames; repainted faster than the frame rate, it keeps giving
    // them, never more than one per frame interval of the capture's own clock however late a
    // busy machine runs it. A small window keeps this cheap enough for sanitizer builds too.
    const int still = sink.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(sink.count() - still, 1) << "frames of a window where nothing changed";
    std::atomic<bool> repainting{true};
    std::thread painter([&] {
        while (repainting) {
            desktop.repaint(window);
            std::this_thread::sleep_for(5ms);
        }
    });
    const int before = sink.count();
    EXPECT_TRUE(eventually([&] { return sink.count() - before >= 24; }, 10s))
        << "frames of a window repainted 200 times a second";
    repainting = false;
    painter.join();
    const auto times = sink.times();
    ASSERT_GE(times.size(), static_cast<std::size_t>(before) + 24);
    const double span = times[before + 23] - times[before];
    // Deadlines one interval apart: 24 grabs span at least 22 intervals.
    EXPECT_GT(span * 30, 21.9) << "frames came faster than the frame rate";

    const auto cover = desktop.make({.width = static_cast<int>(w.width) + 40,
                                     .height = static_cast<int>(w.height) + 40,
                                     .solid = 0xFFFFFF,
                                     .overrideRedirect = true,
                                     .x = static_cast<int>(w.x) - 20,
                                     .y = static_cast<int>(w.y) - 20});
    desktop.waitUntilViewable(cover);
    // Drawn while covered: the capture reads the window's own picture, not the screen.
    const auto covered = Clock::now();
    desktop.repaint(window);
    frame = sink.frameAfter(covered);
    ASSERT_TRUE(frame);
    checkLetterBox(*frame);
    desktop.destroy(cover);

    // 300x300 now: the background tiles, red for x < 200 and blue beyond; no bars.
    desktop.configure(window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, {300, 300});
    EXPECT_TRUE(eventually([&] {
        frame = sink.latest();
        return frame && colorAt(*frame, 160, 10, kRed) && colorAt(*frame, 300, 310, kBlue);
    }));

    EXPECT_TRUE(endsSoFar().empty()) << "covered, resized: the capture goes on";
    desktop.destroy(window);
    // The capture ends by itself and says why, once; nothing comes after.
    ASSERT_TRUE(eventually([&] { return !endsSoFar().empty(); }));
    const int afterDestroy = sink.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sink.count(), afterDestroy) << "no frames of a destroyed window";
    EXPECT_EQ(endsSoFar(), std::vector<std::string>{"The captured content is gone"});
    const auto stopped = stop(*stream);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->localizedDescription, "The capture is not running");
}

TEST(X11CaptureStreamTest, FullFramesHeldDuringAndAfterTheCaptureKeepTheirPicturesAndGoBack) {
    SKIP_WITHOUT_DISPLAY();
    auto server = platform::makeX11WindowServer();
    ASSERT_NE(server, nullptr);
    TestDesktop desktop;
    const auto window = desktop.make({.overrideRedirect = true, .x = 60, .y = 60});
    const Rect placed = desktop.waitUntilViewable(window);
    const auto display = server->displays().front();
    const Rect d = display.frame;
    const int before = sharedSegmentsOfOurs();

    platform::StreamConfiguration config;
    config.width = static_cast<int>(d.width);
    config.height = static_cast<int>(d.height);
    config.showsCursor = false;
    // Holds the last six frames, as a backed-up encoder would, and counts what it got.
    std::mutex mutex;
    std::deque<std::shared_ptr<const PixelBuffer>> held;
    int received = 0;
    platform::SerialQueue queue{"test.capture.held"};
    auto stream =
        platform::makeX11CaptureStream({.includedDisplays = {display}, .contentRect = d}, config);
    stream->addStreamOutput(
        platform::StreamOutputType::screen,
        [&](const platform::VideoSample& sample, platform::StreamOutputType) {
            std::lock_guard lock(mutex);
            held.push_back(sample.imageBuffer);
            if (held.size() > 6) {
                held.pop_front();
            }
            ++received;
        },
        queue);
    const auto receivedSoFar = [&] {
        std::lock_guard lock(mutex);
        return received;
    };
    ASSERT_EQ(start(*stream), std::nullopt);
    // New frames keep being read whole into memory the pool makes, lets go of and makes again.
    int most = 0;
    for (int round = 0; round < 40; ++round) {
        const int got = receivedSoFar();
        desktop.configure(window, XCB_CONFIG_WINDOW_X, {round % 2 ? 60u : 64u});
        EXPECT_TRUE(eventually([&] { return receivedSoFar() > got; }));
        most = std::max(most, sharedSegmentsOfOurs() - before);
    }
    EXPECT_EQ(stop(*stream), std::nullopt);
    EXPECT_LE(most, 12) << "the memory of frames let go while capturing goes too";

    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(held.size(), 6u);
        const double redX = placed.x - d.x + 8 + placed.width / 4;
        const double redY = placed.y - d.y + placed.height / 2;
        for (const auto& frame : held) {
            EXPECT_TRUE(colorAt(*frame, redX, redY, kRed));
            EXPECT_TRUE(colorAt(*frame, redX + placed.width / 2, redY, kBlue));
        }
    }
    // Past the end of the capture, the frames' memory goes on both sides when they go.
    stream.reset();
    queue.join();
    held.clear();
    EXPECT_TRUE(eventually([&] { return sharedSegmentsOfOurs() == before; }))
        << sharedSegmentsOfOurs() - before << " segments left";
    desktop.destroy(window);
}

TEST(X11CaptureStreamTest, ReportsWhatCannotBeCapturedThroughTheCompletion) {
    platform::StreamConfiguration config;
    config.width = 64;
    config.height = 64;
    if (std::getenv("DISPLAY")) {
        TestDesktop desktop;
        const auto window = desktop.make({.netName = "Korvane Short-Lived"});
        desktop.waitUntilViewable(window);
        desktop.destroy(window);
        auto stream =
            platform::makeX11CaptureStream({.includedWindows = {{.windowID = window}}}, config);
        const auto error = start(*stream);
        EXPECT_EQ(describe(error), "X11CaptureStream: The window is gone");
        stream =
            platform::makeX11CaptureStream({.includedDisplays = {{.displayID = 0xFFFFFF}}}, config);
        EXPECT_EQ(describe(start(*stream)), "X11CaptureStream: The display is gone");
    }

    const char* saved = std::getenv("DISPLAY");
    const std::string previous = saved ? saved : "";
    setenv("DISPLAY", ":9999", 1);
    EXPECT_EQ(platform::makeX11WindowServer(), nullptr);
    auto stream = platform::makeX11CaptureStream({.includedDisplays = {{.displayID = 0}}}, config);
    EXPECT_EQ(describe(start(*stream)), "X11CaptureStream: No X display");
    EXPECT_EQ(describe(stop(*stream)), "X11CaptureStream: The capture is not running");
    if (saved) {
        setenv("DISPLAY", previous.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}
