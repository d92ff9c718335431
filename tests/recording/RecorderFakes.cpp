#include "RecorderFakes.h"

#include <QThread>

#include <cstdlib>

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

std::unique_ptr<platform::FrameCompositor> FakeAssetWriter::makeCompositor() { return std::make_unique<FakeCompositor>(); }

bool FakeAssetWriter::appendVideo(std::shared_ptr<platform::EncoderFrame> frame, platform::MediaTime pts) {
    auto& f = static_cast<FakeEncoderFrame&>(*frame);
    std::lock_guard lock(m_log->mutex);
    m_log->frames.push_back({pts, f.sourceWidth, f.sourceHeight});
    return true;
}

bool FakeAssetWriter::appendAudio(const float* samples, int frameCount, platform::MediaTime pts) {
    std::lock_guard lock(m_log->mutex);
    m_log->audio.push_back({pts, std::vector<float>(samples, samples + frameCount)});
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
    m_shared->running = true;
    return {};
}

void FakeAudioEngine::stop() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->running = false;
}

bool FakeAudioEngine::isRunning() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->running;
}

std::expected<void, std::string> PassThroughConverter::convert(platform::PcmBuffer& output, const InputBlock& input) {
    const platform::PcmBuffer* source = nullptr;
    output.frameLength = 0;
    if (input(&source) != InputStatus::haveData || !source) {
        return {};
    }
    if (seen++ == zeroOutputFor) {
        return {};
    }
    const int frames = std::min(source->frameLength, output.frameCapacity);
    std::copy(source->floatData(), source->floatData() + frames, output.floatData());
    output.frameLength = frames;
    return {};
}

std::optional<platform::CaptureDevice> FakeDeviceDiscovery::defaultDevice() const {
    std::lock_guard lock(mutex);
    if (list.empty()) {
        return std::nullopt;
    }
    return list.front();
}

Rig::Rig() {
    defaults = std::make_unique<platform::DefaultsStore>(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                                                         "/recorder.ini");
}

recording::RecorderEnvironment Rig::environment() {
    recording::RecorderEnvironment env;
    auto log = writer;
    env.writerFactory = [log](const std::string& path) -> std::expected<std::unique_ptr<platform::AssetWriter>, std::string> {
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
    env.converterFactory = [conv](const platform::AudioFormat& from, const platform::AudioFormat&) -> std::unique_ptr<platform::AudioConverter> {
        if (from.sampleType == platform::SampleType::other) {
            return nullptr;
        }
        // Every pipeline shares the test's converter, so a test can steer it.
        struct Forward final : platform::AudioConverter {
            std::shared_ptr<PassThroughConverter> inner;
            std::expected<void, std::string> convert(platform::PcmBuffer& o, const InputBlock& i) override {
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
    return env;
}

void Rig::build() { recorder = recording::ScreenRecorder::create(nullptr, environment()); }

void Rig::beginRecording(const std::string& path) {
    recorder->setPendingOutputURL(path);
    recorder->markRecordingStarted();
}

void Rig::sendFrame(int width, int height, platform::MediaTime pts) {
    platform::VideoSample sample;
    sample.imageBuffer = platform::PixelBuffer::make(width, height);
    sample.presentationTime = pts;
    recorder->handleVideoSample(sample);
}

void Rig::sendAudio(const std::vector<float>& samples) {
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
    std::copy(samples.begin(), samples.end(), buffer.floatData());
    tap(buffer);
}

}  // namespace fakes
