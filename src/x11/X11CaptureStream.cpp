#include "x11/X11CaptureStream.h"
#include "x11/X11Grabber.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

namespace x11capture {

namespace {

using Clock = std::chrono::steady_clock;

// Recycles frames: a frame returns here when its last holder lets go. Holders beyond the limit
// make the stream skip a grab rather than allocate without bound. Frames live in memory the
// X server shares when it can.
class FramePool : public std::enable_shared_from_this<FramePool> {
  public:
    static constexpr int kMaxFramesOut = 8;
    static constexpr std::size_t kMaxFramesKept = 2;

    FramePool(int width, int height, std::shared_ptr<SegmentLender> lender)
        : m_width(width), m_height(height), m_lender(std::move(lender)) {}

    std::shared_ptr<PixelBuffer> acquire() {
        std::unique_ptr<PixelBuffer> frame;
        {
            std::lock_guard lock(m_mutex);
            if (m_framesOut >= kMaxFramesOut) {
                return nullptr;
            }
            ++m_framesOut;
            if (!m_free.empty()) {
                frame = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        if (!frame) {
            frame = std::make_unique<PixelBuffer>();
            frame->width = m_width;
            frame->height = m_height;
            frame->bytesPerRow = m_width * 4;
            const auto size = static_cast<std::size_t>(frame->bytesPerRow) * m_height;
            if (auto shared = m_lender ? m_lender->lend(size) : nullptr) {
                frame->bytes.adopt(std::move(shared), size);
            } else {
                frame->bytes.assign(size, 0);
            }
        }
        return {frame.release(), [pool = shared_from_this()](PixelBuffer* p) { pool->recycle(p); }};
    }

  private:
    void recycle(PixelBuffer* frame) {
        // Kept as a new object: the old one still names the control block of its last shared
        // life (enable_shared_from_this), whose deleter holds this pool, and would keep the pool
        // and its spare frames alive for ever once nobody else does.
        auto spare = std::make_unique<PixelBuffer>(std::move(*frame));
        delete frame;
        std::lock_guard lock(m_mutex);
        --m_framesOut;
        // Frames made while the consumers fell behind are let go once they catch up: a moment
        // of backlog must not keep its memory for the rest of the recording.
        if (m_free.size() < kMaxFramesKept) {
            m_free.push_back(std::move(spare));
        }
    }

    const int m_width;
    const int m_height;
    const std::shared_ptr<SegmentLender> m_lender;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<PixelBuffer>> m_free;
    int m_framesOut = 0;
};

std::chrono::nanoseconds frameInterval(const MediaTime& interval) {
    if (!interval.isValid() || interval.value <= 0) {
        return std::chrono::nanoseconds(1'000'000'000 / 60);
    }
    return std::chrono::nanoseconds(interval.value * 1'000'000'000 / interval.timescale);
}

MediaTime now() {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
    return MediaTime(ns.count(), 1'000'000'000);
}

enum class State { idle, running, stopping };

// What the capture thread works with. The thread holds it too, so the stream may be destroyed
// from inside any completion, even the start completion while frames keep coming.
struct Session {
    struct Output {
        CaptureStream::SampleHandler handler;
        SerialQueue* queue;
    };

    Session(ContentFilter f, const StreamConfiguration& c) : filter(std::move(f)), config(c) {}

    void run(CaptureStream::Completion started);
    std::optional<CaptureError> captureLoop(Grabber& grabber, CaptureStream::Completion& started);
    GrabResult grabAndDeliver(Grabber& grabber, FramePool& pool);

    const ContentFilter filter;
    const StreamConfiguration config;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Output> outputs;
    State state = State::idle;
    CaptureStream::Completion stopCompletion;
    CaptureStream::StopHandler didStopWithError;
};

void Session::run(CaptureStream::Completion started) {
    pthread_setname_np(pthread_self(), "x11-capture");
    std::optional<CaptureError> failure;
    {
        Grabber grabber(filter, config);
        failure = grabber.open();
        if (!failure) {
            failure = captureLoop(grabber, started);
        }
    }  // the X resources go here, before anyone hears of the end
    CaptureStream::Completion stopped;
    CaptureStream::StopHandler endedByItself;
    {
        std::lock_guard lock(mutex);
        // A capture that ends while nobody asked it to stop tells its owner why.
        if (failure && !started && state == State::running) {
            endedByItself = didStopWithError;
        }
        state = State::idle;
        stopped = std::move(stopCompletion);
    }
    if (started) {
        started(failure
                    ? failure
                    : makeError(kStoppedBeforeStart, "The capture was stopped before it started"));
    }
    if (stopped) {
        stopped(std::nullopt);
    }
    if (endedByItself) {
        endedByItself(*failure);
    }
}

std::optional<CaptureError> Session::captureLoop(Grabber& grabber,
                                                 CaptureStream::Completion& started) {
    const auto interval = frameInterval(config.minimumFrameInterval);
    const auto pool = std::make_shared<FramePool>(config.width, config.height, grabber.lender());
    auto deadline = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(mutex);
            const auto stopping = [&] { return state == State::stopping; };
            wake.wait_until(lock, deadline, stopping);
            if (stopping()) {
                return std::nullopt;
            }
        }
        const GrabResult result = grabAndDeliver(grabber, *pool);
        if (result == GrabResult::gone) {
            // Before the start this fails the start; after it, the capture ends by itself.
            return makeError(kContentGone, "The captured content is gone");
        }
        if (started) {
            std::exchange(started, nullptr)(std::nullopt);
        }
        // Absolute deadlines; intervals missed by a slow grab are skipped, not caught up.
        deadline += interval;
        if (const auto late = Clock::now() - deadline; late >= decltype(late)::zero()) {
            deadline += interval * (late / interval + 1);
        }
    }
}

GrabResult Session::grabAndDeliver(Grabber& grabber, FramePool& pool) {
    std::shared_ptr<PixelBuffer> frame = pool.acquire();
    if (!frame) {
        return GrabResult::skipped;  // every frame is still held downstream
    }
    // Stamped as the request leaves: the server copies the pixels when it serves it.
    const MediaTime capturedAt = now();
    const GrabResult result = grabber.grab(*frame);
    if (result != GrabResult::frame) {
        return result;
    }
    VideoSample sample;
    sample.imageBuffer = std::move(frame);
    sample.presentationTime = capturedAt;
    std::lock_guard lock(mutex);
    for (const auto& output : outputs) {
        output.queue->post(
            [handler = output.handler, sample] { handler(sample, StreamOutputType::screen); });
    }
    return result;
}

// Captures on a thread of its own. The start completion runs once the first grab is done
// (or failed); the stop completion once the X resources are released. Both run on the capture
// thread, or on the caller's when they fail at once. Stopping does not wait for the thread:
// it is joined by the next start or by the destructor.
class X11CaptureStream final : public CaptureStream {
  public:
    X11CaptureStream(ContentFilter filter, const StreamConfiguration& config)
        : m_session(std::make_shared<Session>(std::move(filter), config)) {}
    ~X11CaptureStream() override;

    std::optional<CaptureError> addStreamOutput(StreamOutputType type, SampleHandler handler,
                                                SerialQueue& queue) override;
    void startCapture(Completion completion) override;
    void stopCapture(Completion completion) override;
    void setDidStopWithError(StopHandler handler) override {
        std::lock_guard lock(m_session->mutex);
        m_session->didStopWithError = std::move(handler);
    }

  private:
    static void reapThread(std::thread& thread);

    const std::shared_ptr<Session> m_session;
    std::thread m_thread;
};

X11CaptureStream::~X11CaptureStream() {
    {
        std::lock_guard lock(m_session->mutex);
        if (m_session->state == State::running) {
            m_session->state = State::stopping;
        }
    }
    m_session->wake.notify_all();
    reapThread(m_thread);
}

void X11CaptureStream::reapThread(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    // From a completion on the capture thread itself: it ends on its own.
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

std::optional<CaptureError> X11CaptureStream::addStreamOutput(StreamOutputType type,
                                                              SampleHandler handler,
                                                              SerialQueue& queue) {
    if (type == StreamOutputType::screen) {
        std::lock_guard lock(m_session->mutex);
        m_session->outputs.push_back({std::move(handler), &queue});
    }
    return std::nullopt;
}

void X11CaptureStream::startCapture(Completion completion) {
    std::optional<CaptureError> refusal;
    std::thread previous;
    {
        Session& session = *m_session;
        std::lock_guard lock(session.mutex);
        if (session.state != State::idle) {
            refusal = makeError(kAlreadyRunning, "The capture is already running");
        } else if (session.filter.includedWindows.empty() &&
                   session.filter.includedDisplays.empty()) {
            refusal = makeError(kNothingToCapture, "Nothing to capture");
        } else if (session.config.width < 2 || session.config.height < 2) {
            refusal = makeError(kUnsupportedFormat, "The output size is too small");
        } else {
            previous = std::move(m_thread);
            session.state = State::running;
            m_thread =
                std::thread([session = m_session, completion = std::move(completion)]() mutable {
                    session->run(std::move(completion));
                });
        }
    }
    // The previous session's thread is past its last use of the shared state.
    reapThread(previous);
    if (refusal && completion) {
        completion(refusal);
    }
}

void X11CaptureStream::stopCapture(Completion completion) {
    {
        std::lock_guard lock(m_session->mutex);
        if (m_session->state == State::running) {
            m_session->state = State::stopping;
            m_session->stopCompletion = std::move(completion);
            m_session->wake.notify_all();
            return;
        }
    }
    if (completion) {
        completion(makeError(kNotRunning, "The capture is not running"));
    }
}

}  // namespace

}  // namespace x11capture

std::unique_ptr<CaptureStream> makeX11CaptureStream(const ContentFilter& filter,
                                                    const StreamConfiguration& config) {
    return std::make_unique<x11capture::X11CaptureStream>(filter, config);
}

}  // namespace platform
