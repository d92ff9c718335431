// The trading desk recorded while only parts of it change. The capture reads and converts only
// what the X server reports as changed, so the test takes a full grab of every state the desk
// goes through and compares each frame of the file against the grab of its state: the picture
// matches within the encoder's noise, no area keeps an earlier state, and the pointer is drawn
// where it is and nowhere it was. The test moves the desk and drives the encoder tick itself, so
// it knows which state each frame of the file shows.
#include "RecorderFakes.h"

#include "MediaFile.h"
#include "TradingScreen.h"
#include "X11TestDesktop.h"

#include "media/FfmpegAssetWriter.h"
#include "x11/X11CaptureStream.h"
#include "x11/X11WindowServer.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

namespace fs = std::filesystem;

namespace {

// The newest frame the stream handed to the recorder.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable delivered;
    std::shared_ptr<const platform::PixelBuffer> newest;

    template <class F>
    bool waitForFrame(F matches) {
        std::unique_lock lock(mutex);
        std::shared_ptr<const platform::PixelBuffer> checked;
        return delivered.wait_for(lock, std::chrono::seconds(10), [&] {
            if (!newest || newest == checked) {
                return false;
            }
            checked = newest;
            return matches(*checked);
        });
    }
};

// The real X11 stream, with every sample reported to the test after the recorder took it.
class ObservedStream final : public platform::CaptureStream {
  public:
    ObservedStream(std::unique_ptr<platform::CaptureStream> inner,
                   std::shared_ptr<Deliveries> deliveries)
        : m_inner(std::move(inner)), m_deliveries(std::move(deliveries)) {}
    std::optional<platform::CaptureError> addStreamOutput(platform::StreamOutputType type,
                                                          SampleHandler handler,
                                                          platform::SerialQueue& queue) override {
        return m_inner->addStreamOutput(
            type,
            [handler = std::move(handler), deliveries = m_deliveries](
                const platform::VideoSample& sample, platform::StreamOutputType output) {
                handler(sample, output);
                std::lock_guard lock(deliveries->mutex);
                deliveries->newest = sample.imageBuffer;
                deliveries->delivered.notify_all();
            },
            queue);
    }
    void startCapture(Completion completion) override {
        m_inner->startCapture(std::move(completion));
    }
    void stopCapture(Completion completion) override {
        m_inner->stopCapture(std::move(completion));
    }
    void setDidStopWithError(StopHandler handler) override {
        m_inner->setDidStopWithError(std::move(handler));
    }

  private:
    std::unique_ptr<platform::CaptureStream> m_inner;
    std::shared_ptr<Deliveries> m_deliveries;
};

// One state of the desk as a full grab saw it: luma, as the writer would encode it.
struct State {
    std::vector<std::uint8_t> luma;
    tradingscreen::Box pointer;  // where the pointer is drawn, in captured pixels
};

constexpr int kBlock = 16;

// Block means are steady under the encoder's noise, while an area left from an earlier state,
// or a pointer drawn where it no longer is, moves them by tens of levels.
std::vector<int> blockMeans(const std::uint8_t* luma, int stride, int width, int height) {
    std::vector<int> means;
    for (int by = 0; by + kBlock <= height; by += kBlock) {
        for (int bx = 0; bx + kBlock <= width; bx += kBlock) {
            int sum = 0;
            for (int y = 0; y < kBlock; ++y) {
                for (int x = 0; x < kBlock; ++x) {
                    sum += luma[static_cast<std::ptrdiff_t>(by + y) * stride + bx + x];
                }
            }
            means.push_back(sum / (kBlock * kBlock));
        }
    }
    return means;
}

bool overlaps(tradingscreen::Box box, int bx, int by) {
    return box.x < bx + kBlock && bx < box.x + box.width && box.y < by + kBlock &&
           by < box.y + box.height;
}

std::uint8_t lumaOf(const std::uint8_t* bgrx) {
    return static_cast<std::uint8_t>(16 + (47 * bgrx[2] + 157 * bgrx[1] + 16 * bgrx[0]) / 256);
}

// The blocks whose means differ by more than the tolerance, the pointer's left out.
std::vector<std::string> differingBlocks(const std::vector<int>& actual,
                                         const std::vector<int>& expected, int columns,
                                         tradingscreen::Box pointer, int tolerance) {
    std::vector<std::string> blocks;
    for (std::size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
        const int bx = static_cast<int>(i) % columns * kBlock;
        const int by = static_cast<int>(i) / columns * kBlock;
        if (!overlaps(pointer, bx, by) && std::abs(actual[i] - expected[i]) > tolerance) {
            blocks.push_back("block (" + std::to_string(bx) + ", " + std::to_string(by) + "): " +
                             std::to_string(actual[i]) + " for " + std::to_string(expected[i]));
        }
    }
    return blocks;
}

class PartialCaptureTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_DISPLAY();
        m_c = xcb_connect(nullptr, nullptr);
        ASSERT_FALSE(xcb_connection_has_error(m_c));
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        auto version =
            xcb_xfixes_query_version_reply(m_c, xcb_xfixes_query_version(m_c, 4, 0), nullptr);
        ASSERT_TRUE(version);
        std::free(version);
        capturesWindow = GetParam();
        // A window capture takes a desk of its own size; a display capture the whole screen.
        area = capturesWindow ? tradingscreen::Box{160, 120, 800, 600}
                              : tradingscreen::Box{0, 0, m_screen->width_in_pixels,
                                                   m_screen->height_in_pixels};
        desk = std::make_unique<tradingscreen::TradingScreen>(m_c, area.x, area.y, area.width,
                                                              area.height);
        sync();

        environment = rig.environment();
        environment.writerFactory = &platform::makeFfmpegAssetWriter;
        environment.captureStreamFactory = [this](const platform::ContentFilter& filter,
                                                  const platform::StreamConfiguration& config) {
            return std::make_unique<ObservedStream>(platform::makeX11CaptureStream(filter, config),
                                                    deliveries);
        };
        environment.windowServer = platform::makeX11WindowServer();
        environment.runsEncodeTimer = false;  // each state is encoded by the test, twice
        rig.recorder = recording::ScreenRecorder::create(rig.videos, environment);
        rig.recorder->setCapturesAudio(false);
        fakes::keepFinishedFiles(*rig.recorder, *rig.defaults, kept);
    }
    void TearDown() override {
        if (!kept.empty()) {
            fs::remove(kept);
        }
        desk.reset();
        if (m_c) {
            xcb_disconnect(m_c);
        }
    }

    void sync() { std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); }

    platform::ContentFilter filter() {
        const platform::Rect rect{double(area.x), double(area.y), double(area.width),
                                  double(area.height)};
        if (capturesWindow) {
            return {{{desk->window(), "Desk", "trading-desk", rect}}, {}, rect};
        }
        const auto display = environment.windowServer->displays().front();
        return {{}, {display}, display.frame};
    }

    // What a full grab sees now, and where the pointer is over it.
    State grabState() {
        State state;
        const xcb_drawable_t drawable = capturesWindow ? desk->window() : m_screen->root;
        auto* image =
            xcb_get_image_reply(m_c,
                                xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0,
                                              static_cast<std::uint16_t>(area.width),
                                              static_cast<std::uint16_t>(area.height), ~0u),
                                nullptr);
        auto* cursor =
            xcb_xfixes_get_cursor_image_reply(m_c, xcb_xfixes_get_cursor_image(m_c), nullptr);
        EXPECT_TRUE(image && cursor);
        if (image && cursor) {
            const std::uint8_t* bgrx = xcb_get_image_data(image);
            state.luma.resize(static_cast<std::size_t>(area.width) * area.height);
            for (std::size_t i = 0; i < state.luma.size(); ++i) {
                state.luma[i] = lumaOf(bgrx + 4 * i);
            }
            state.pointer = {cursor->x - cursor->xhot - area.x, cursor->y - cursor->yhot - area.y,
                             cursor->width, cursor->height};
        }
        std::free(image);
        std::free(cursor);
        return state;
    }

    // Changes the desk as one atomic step (the server is grabbed meanwhile), takes the full
    // grab of the new state, waits for the capture to deliver a frame read after it, and
    // encodes that frame twice: once converted, once as the repeat of a still screen.
    void step(int k) {
        xcb_grab_server(m_c);
        desk->drawTicker(k * 7);
        desk->drawPanel(0, static_cast<std::uint32_t>(1000 + k));
        if (k % 2 == 0) {
            desk->drawPanel(1, static_cast<std::uint32_t>(2000 + k));
        }
        if (k % 3 == 0) {
            desk->drawPanel(2, static_cast<std::uint32_t>(3000 + k));
        }
        if (k % 4 == 1) {
            placePointer(k / 4 + 1);
        }
        sync();
        states.push_back(grabState());
        xcb_ungrab_server(m_c);
        sync();
        encodeWhenCaptured(states.back());
    }

    // Over still parts of the desk, so that only the pointer changes there.
    void placePointer(int spot) {
        const int spots[3][2] = {{31, 5}, {52, 14}, {16, 40}};
        const auto* at = spots[spot % 3];
        xcb_warp_pointer(m_c, XCB_NONE, m_screen->root, 0, 0, 0, 0,
                         static_cast<std::int16_t>(area.x + area.width * at[0] / 100),
                         static_cast<std::int16_t>(area.y + area.height * at[1] / 100));
        sync();
    }

    // The capture reads a change some time after it; its frame must then show the new state,
    // exactly (the pointer aside), or the wait runs out.
    void encodeWhenCaptured(const State& state) {
        const auto expected = blockMeans(state.luma.data(), area.width, area.width, area.height);
        std::vector<std::string> last;
        const bool captured = deliveries->waitForFrame([&](const platform::PixelBuffer& frame) {
            std::vector<std::uint8_t> luma(static_cast<std::size_t>(frame.width) * frame.height);
            for (int y = 0; y < frame.height; ++y) {
                for (int x = 0; x < frame.width; ++x) {
                    luma[static_cast<std::size_t>(y) * frame.width + x] =
                        lumaOf(frame.row(y) + 4 * x);
                }
            }
            last = differingBlocks(blockMeans(luma.data(), frame.width, frame.width, frame.height),
                                   expected, area.width / kBlock, state.pointer, 0);
            return frame.width == area.width && frame.height == area.height && last.empty();
        });
        ASSERT_TRUE(captured) << "no captured frame shows the state whole: " << last.size()
                              << " blocks differ, first "
                              << (last.empty() ? std::string("-") : last.front());
        for (int repeat = 0; repeat < 2; ++repeat) {
            rig.recorder->video().videoQueue().sync([&] { rig.recorder->video().encodeTick(1); });
        }
    }

    bool capturesWindow = false;
    tradingscreen::Box area;
    std::unique_ptr<tradingscreen::TradingScreen> desk;
    std::vector<State> states;
    std::shared_ptr<Deliveries> deliveries = std::make_shared<Deliveries>();
    fakes::Rig rig;
    recording::RecorderEnvironment environment;
    std::string kept;
    xcb_connection_t* m_c = nullptr;
    xcb_screen_t* m_screen = nullptr;
};

TEST_P(PartialCaptureTest, EveryFrameShowsItsStateWholeWithThePointerWhereItIs) {
    constexpr int kSteps = 24;
    placePointer(0);
    states.push_back(grabState());
    rig.recorder->capture().applyPickerFilter(filter());
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }, 10000));
    ASSERT_NO_FATAL_FAILURE(encodeWhenCaptured(states.back()));
    for (int k = 1; k <= kSteps; ++k) {
        ASSERT_NO_FATAL_FAILURE(step(k));
    }
    rig.recorder->stopRecording();
    ASSERT_TRUE(pumpUntil([&] { return !kept.empty(); }, 30000));

    MediaFile file(kept);
    ASSERT_TRUE(file.isOpen());
    int frames = 0;
    int pointerShown = 0;
    std::vector<std::string> mismatches;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double) {
        ASSERT_EQ(frame.width, area.width);
        ASSERT_EQ(frame.height, area.height);
        const State& state = states.at(static_cast<std::size_t>(frames / 2));
        const auto decoded = blockMeans(frame.data[0], frame.linesize[0], area.width, area.height);
        const auto expected = blockMeans(state.luma.data(), area.width, area.width, area.height);
        for (const auto& block :
             differingBlocks(decoded, expected, area.width / kBlock, state.pointer, 6)) {
            mismatches.push_back("frame " + std::to_string(frames) + " " + block);
        }
        // The pointer shows against the dark desk where it stands.
        int pointerDifference = 0;
        const int columns = area.width / kBlock;
        for (std::size_t i = 0; i < decoded.size(); ++i) {
            if (overlaps(state.pointer, static_cast<int>(i) % columns * kBlock,
                         static_cast<int>(i) / columns * kBlock)) {
                pointerDifference = std::max(pointerDifference, std::abs(decoded[i] - expected[i]));
            }
        }
        pointerShown += pointerDifference > 10 ? 1 : 0;
        ++frames;
    });
    EXPECT_EQ(frames, 2 * (kSteps + 1)) << "two frames of every state";
    EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " blocks differ from the full grab, "
                                    << "first " << (mismatches.empty() ? "-" : mismatches.front());
    EXPECT_EQ(pointerShown, frames) << "the pointer is drawn in every frame";
    // The states themselves differ, or the comparison would prove nothing.
    for (std::size_t k = 1; k < states.size(); ++k) {
        EXPECT_NE(blockMeans(states[k].luma.data(), area.width, area.width, area.height),
                  blockMeans(states[k - 1].luma.data(), area.width, area.width, area.height));
    }
}

INSTANTIATE_TEST_SUITE_P(DisplayAndWindow, PartialCaptureTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Window" : "Display"; });

}  // namespace
