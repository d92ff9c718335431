#include "RecorderFakes.h"

#include <QThread>

#include <thread>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace fakes {

bool FakeAssetWriter::addVideoInput(const platform::VideoOutputSettings& s) {
    m_video = s;
    std::lock_guard lock(m_log->mutex);
    m_log->videoSettings.push_back(s);
    return true;
}

bool FakeAssetWriter::addAudioInput(const platform::AudioOutputSettings&) {
    m_audio = true;
    std::lock_guard lock(m_log->mutex);
    ++m_log->audioInputs;
    return true;
}

bool FakeAssetWriter::startWriting() {
    if (m_log->failStart) {
        m_status = platform::AssetWriterStatus::failed;
        return false;
    }
    m_status = platform::AssetWriterStatus::writing;
    return true;
}

void FakeAssetWriter::startSession(platform::MediaTime t) {
    std::lock_guard lock(m_log->mutex);
    m_log->sessionStart = t;
}

std::optional<std::string> FakeAssetWriter::error() const {
    if (m_status == platform::AssetWriterStatus::failed) {
        return std::string("fake writer refused");
    }
    return std::nullopt;
}

std::shared_ptr<platform::EncoderFrame> FakeAssetWriter::makePooledFrame() {
    return std::make_shared<FakeEncoderFrame>(m_video->width, m_video->height);
}

namespace {
class FakeCompositor final : public platform::FrameCompositor {
  public:
    bool render(const platform::PixelBuffer& source, platform::EncoderFrame& target) override {
        auto& frame = static_cast<FakeEncoderFrame&>(target);
        frame.sourceWidth = source.width;
        frame.sourceHeight = source.height;
        return true;
    }
};
}  // namespace

std::unique_ptr<platform::FrameCompositor> FakeAssetWriter::makeCompositor() {
    return std::make_unique<FakeCompositor>();
}

bool FakeAssetWriter::appendVideo(std::shared_ptr<platform::EncoderFrame> frame,
                                  platform::MediaTime pts) {
    auto& f = static_cast<FakeEncoderFrame&>(*frame);
    std::lock_guard lock(m_log->mutex);
    m_log->frames.push_back({pts, f.sourceWidth, f.sourceHeight});
    return true;
}

bool FakeAssetWriter::appendAudio(const float* samples, int frameCount, platform::MediaTime pts) {
    std::lock_guard lock(m_log->mutex);
    const int kept = m_log->keepsAllSamples ? frameCount : std::min(frameCount, 1);
    m_log->audio.push_back({pts, std::vector<float>(samples, samples + kept), frameCount});
    return true;
}

void FakeAssetWriter::finishWriting(std::function<void()> completion) {
    m_status = platform::AssetWriterStatus::completed;
    {
        std::lock_guard lock(m_log->mutex);
        m_log->finished = true;
    }
    completion();
}

void FakeAssetWriter::cancelWriting() {
    m_status = platform::AssetWriterStatus::cancelled;
    std::lock_guard lock(m_log->mutex);
    m_log->cancelled = true;
}

void FakeAudioEngine::installTap(int, TapBlock block) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->tap = std::move(block);
}

void FakeAudioEngine::removeTap() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->tap = nullptr;
}

std::expected<void, std::string> FakeAudioEngine::start() {
    std::lock_guard lock(m_shared->mutex);
    ++m_shared->starts;
    if (m_shared->startError) {
        return std::unexpected(*m_shared->startError);
    }
    if (m_shared->missing.contains(m_shared->lastDeviceId)) {
        return std::unexpected("source " + m_shared->lastDeviceId + " not found");
    }
    m_shared->running = true;
    m_shared->startedDeviceIds.push_back(m_shared->lastDeviceId);
    return {};
}

void FakeAudioEngine::setLossHandler(LossHandler handler) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->lost = std::move(handler);
}

void FakeAudioEngine::loseDevice(Shared& shared) {
    LossHandler lost;
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.running) {
            return;
        }
        shared.running = false;
        lost = shared.lost;
    }
    if (lost) {
        std::thread([lost] { lost("the device went away"); }).join();
    }
}

void FakeAudioEngine::stop() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->running = false;
}

bool FakeAudioEngine::isRunning() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->running;
}

std::expected<void, std::string> PassThroughConverter::convert(platform::PcmBuffer& output,
                                                               const InputBlock& input) {
    output.frameLength = 0;
    if (m_restAt == m_rest.size()) {
        const platform::PcmBuffer* source = nullptr;
        if (input(&source) != InputStatus::haveData || !source) {
            return {};
        }
        if (seen++ == zeroOutputFor) {
            return {};
        }
        m_rest.assign(source->floatData(), source->floatData() + source->frameLength);
        m_restAt = 0;
    }
    // A buffer larger than the output comes out over several calls, as from a real converter.
    const auto frames = std::min<std::size_t>(m_rest.size() - m_restAt,
                                              static_cast<std::size_t>(output.frameCapacity));
    std::copy_n(m_rest.begin() + static_cast<std::ptrdiff_t>(m_restAt), frames, output.floatData());
    m_restAt += frames;
    output.frameLength = static_cast<int>(frames);
    return {};
}

std::optional<platform::CaptureDevice> FakeDeviceDiscovery::defaultDevice() const {
    std::lock_guard lock(mutex);
    if (list.empty()) {
        return std::nullopt;
    }
    return list.front();
}

std::optional<platform::CaptureError> FakeCaptureStream::addStreamOutput(
    platform::StreamOutputType, SampleHandler handler, platform::SerialQueue& queue) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->handler = std::move(handler);
    m_shared->queue = &queue;
    return std::nullopt;
}

void FakeCaptureStream::startCapture(Completion completion) {
    std::optional<platform::CaptureError> error;
    {
        std::lock_guard lock(m_shared->mutex);
        ++m_shared->starts;
        error = m_shared->startError;
    }
    // From another thread, as a real stream would.
    std::thread([completion, error] { completion(error); }).detach();
}

void FakeCaptureStream::stopCapture(Completion completion) {
    std::optional<platform::CaptureError> error;
    {
        std::lock_guard lock(m_shared->mutex);
        ++m_shared->stops;
        m_shared->handler = nullptr;
        error = m_shared->stopError;
    }
    std::thread([completion, error] { completion(error); }).detach();
}

void FakeCaptureStream::deliver(Shared& shared, std::shared_ptr<platform::PixelBuffer> picture,
                                platform::MediaTime pts) {
    std::lock_guard lock(shared.mutex);
    if (!shared.handler || !shared.queue) {
        return;
    }
    shared.queue->post([handler = shared.handler, picture, pts] {
        platform::VideoSample sample;
        sample.imageBuffer = picture;
        sample.presentationTime = pts;
        handler(sample, platform::StreamOutputType::screen);
    });
}

std::vector<platform::ShareableDisplay> FakeWindowServer::displays() const {
    std::lock_guard lock(mutex);
    return displayList;
}

std::vector<platform::ShareableWindow> FakeWindowServer::windows() const {
    std::lock_guard lock(mutex);
    return windowList;
}

std::optional<platform::Rect> FakeWindowServer::windowBounds(std::uint32_t id) const {
    std::lock_guard lock(mutex);
    for (const auto& w : windowList) {
        if (w.windowID == id) {
            return w.frame;
        }
    }
    return std::nullopt;
}

std::optional<platform::Rect> FakeWindowServer::displayBounds(std::uint32_t id) const {
    std::lock_guard lock(mutex);
    for (const auto& d : displayList) {
        if (d.displayID == id) {
            return d.frame;
        }
    }
    return std::nullopt;
}

std::vector<platform::Rect> FakeWindowServer::screenFrames() const {
    std::vector<platform::Rect> frames;
    for (const auto& d : displays()) {
        frames.push_back(d.frame);
    }
    return frames;
}

platform::Single<api::UploadVideoResponse, api::NetworkError>
FakeVideoRepository::uploadVideoInChunks(const std::string& path) {
    using Out = platform::Single<api::UploadVideoResponse, api::NetworkError>;
    return Out([this, path](Out::Emit deliver) {
        std::optional<api::NetworkError> fail;
        {
            std::lock_guard lock(mutex);
            uploadedPaths.push_back(path);
            fail = failure;
        }
        std::thread([deliver, path, fail] {
            if (fail) {
                deliver(std::unexpected(*fail));
            } else {
                deliver(api::UploadVideoResponse{std::nullopt, path, "Success"});
            }
        }).detach();
    });
}

Rig::Rig() {
    // A settings file of its own: tests in one process must not see each other's values.
    static std::atomic<int> rigs{0};
    defaults = std::make_unique<platform::DefaultsStore>(
        QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
        QStringLiteral("/recorder-%1.ini").arg(rigs++));
}

Rig::~Rig() {
    if (!recorder) {
        return;
    }
    const int others = recording::ScreenRecorder::aliveCount() - 1;
    recorder.reset();
    pumpUntil([&] { return recording::ScreenRecorder::aliveCount() <= others; }, 20000);
}

recording::RecorderEnvironment Rig::environment() {
    recording::RecorderEnvironment env;
    auto log = writer;
    env.writerFactory = [log](const std::string& path)
        -> std::expected<std::unique_ptr<platform::AssetWriter>, std::string> {
        {
            std::lock_guard lock(log->mutex);
            log->createdPaths.push_back(path);
        }
        return std::make_unique<FakeAssetWriter>(path, log);
    };
    auto shared = engine;
    env.audioEngineFactory = [shared](const std::string& id) {
        {
            std::lock_guard lock(shared->mutex);
            shared->lastDeviceId = id;
        }
        return std::make_unique<FakeAudioEngine>(shared);
    };
    auto conv = converter;
    env.converterFactory =
        [conv](const platform::AudioFormat& from,
               const platform::AudioFormat&) -> std::unique_ptr<platform::AudioConverter> {
        if (from.sampleType == platform::SampleType::other) {
            return nullptr;
        }
        // Every pipeline shares the test's converter, so a test can steer it.
        struct Forward final : platform::AudioConverter {
            std::shared_ptr<PassThroughConverter> inner;
            std::expected<void, std::string> convert(platform::PcmBuffer& o,
                                                     const InputBlock& i) override {
                return inner->convert(o, i);
            }
        };
        auto forward = std::make_unique<Forward>();
        forward->inner = conv;
        return forward;
    };
    env.deviceDiscovery = devices;
    env.authorization = authorization;
    env.settingsUi = ui;
    auto clock = now;
    env.clock = [clock] { return clock->load(); };
    env.defaults = defaults.get();
    auto streamShared = stream;
    env.captureStreamFactory = [this, streamShared](
                                   const platform::ContentFilter& filter,
                                   const platform::StreamConfiguration& configuration) {
        {
            std::lock_guard lock(streamShared->mutex);
            streamShared->filters.push_back(filter);
            streamShared->configurations.push_back(configuration);
        }
        ++streamsMade;
        return std::make_unique<FakeCaptureStream>(streamShared);
    };
    env.windowServer = windowServer;
    env.contentPicker = picker;
    env.borderOverlayFactory = [this](const platform::Rect& rect, const platform::BorderStyle&) {
        auto overlay = std::make_unique<FakeBorder>(rect);
        border = overlay.get();
        return overlay;
    };
    env.recordingsFolder = std::string(std::getenv("KORVANE_TEST_HOME")) + "/recordings";
    return env;
}

void keepFinishedFiles(recording::ScreenRecorder& recorder, platform::DefaultsStore& defaults,
                       std::string& kept) {
    QObject::connect(&recorder, &recording::ScreenRecorder::recordingFinalized, [&defaults, &kept] {
        namespace fs = std::filesystem;
        if (const auto path = defaults.string("currentVideoPath"); path && fs::exists(*path)) {
            fs::copy_file(*path, *path + ".kept", fs::copy_options::overwrite_existing);
            kept = *path + ".kept";
        }
    });
}

void Rig::build() {
    recorder = recording::ScreenRecorder::create(videos, environment());
}

void Rig::beginRecording(const std::string& path) {
    recorder->video().setPendingOutputURL(path);
    recorder->markRecordingStarted();
}

void Rig::sendFrame(int width, int height, platform::MediaTime pts) {
    platform::VideoSample sample;
    sample.imageBuffer = platform::PixelBuffer::make(width, height);
    sample.presentationTime = pts;
    recorder->video().handleSample(sample);
}

void Rig::sendAudio(const std::vector<float>& samples, platform::MediaTime captureTime) {
    platform::AudioEngine::TapBlock tap;
    platform::AudioFormat format;
    {
        std::lock_guard lock(engine->mutex);
        tap = engine->tap;
        format = engine->format;
    }
    if (!tap) {
        return;
    }
    platform::PcmBuffer buffer(format, static_cast<int>(samples.size()));
    buffer.frameLength = static_cast<int>(samples.size());
    buffer.captureTime = captureTime;
    std::copy(samples.begin(), samples.end(), buffer.floatData());
    tap(buffer);
}

}  // namespace fakes
