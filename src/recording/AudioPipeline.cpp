#include "AudioPipeline.h"

#include "platform/Log.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace recording {

using platform::MediaTime;
using platform::PcmBuffer;

namespace {

// The source buffer copied out of the engine's own, so the engine gets it back at once.
std::optional<PcmBuffer> copyTapBuffer(const PcmBuffer& source) {
    switch (source.format.sampleType) {
        case platform::SampleType::float32:
        case platform::SampleType::int16:
        case platform::SampleType::int32:
            break;
        case platform::SampleType::other:
            return std::nullopt;
    }
    PcmBuffer copy(source.format, source.frameCapacity);
    copy.frameLength = source.frameLength;
    copy.captureTime = source.captureTime;
    const std::size_t bytes =
        std::min(copy.data.size(),
                 static_cast<std::size_t>(source.frameLength) * source.format.bytesPerFrame());
    std::memcpy(copy.data.data(), source.data.data(), std::min(bytes, source.data.size()));
    return copy;
}

// Where the picture is, in audio frames.
std::int64_t pictureEnd(std::int64_t frameIndex) {
    return frameIndex * AudioPipeline::targetSampleRate / VideoPipeline::targetFPS;
}

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A source buffer's length once converted to the track's rate.
std::int64_t trackFrames(const PcmBuffer& buffer) {
    return static_cast<std::int64_t>(buffer.frameLength *
                                     static_cast<double>(AudioPipeline::targetSampleRate) /
                                     std::max(buffer.format.sampleRate, 1.0));
}

// The middle value (the upper one of an even count): one wild stamp among steady ones moves
// nothing, a lasting change moves the track as soon as it outweighs them.
std::int64_t median(std::vector<std::int64_t> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

bool withinCaptureDelay(std::int64_t frames) {
    return std::abs(frames) <= static_cast<std::int64_t>(AudioPipeline::maxCaptureDelaySeconds) *
                                   AudioPipeline::targetSampleRate;
}

}  // namespace

platform::AudioFormat AudioPipeline::targetFormat() {
    return {platform::SampleType::float32, static_cast<double>(targetSampleRate), 1, true};
}

std::shared_ptr<AudioPipeline> AudioPipeline::create(std::shared_ptr<const VideoPipeline> video,
                                                     Listener hear) {
    return std::shared_ptr<AudioPipeline>(new AudioPipeline(std::move(video), std::move(hear)));
}

AudioPipeline::AudioPipeline(std::shared_ptr<const VideoPipeline> video, Listener hear)
    : m_video(std::move(video)),
      m_hear(std::move(hear)),
      m_queue(std::make_unique<platform::SerialQueue>("screen.recorder.audio")) {}

void AudioPipeline::shutdown() {
    m_queue->join();
}

AudioPipeline::Stats AudioPipeline::stats() const {
    std::lock_guard lock(m_mutex);
    return {m_framePosition, m_pending.size(), m_readIndex, m_analysedBuffers};
}

void AudioPipeline::beginMicrophone(std::shared_ptr<platform::AudioConverter> converter,
                                    bool stampsLater) {
    // Audio that starts into a running recording belongs at the picture's current time, not
    // right after the last sound written.
    std::lock_guard lock(m_mutex);
    m_converter = std::move(converter);
    m_alignToVideo = true;
    m_alignAwaitsStamp = stampsLater;
    m_recentDrift.clear();
}

void AudioPipeline::setMuted(bool muted) {
    std::lock_guard lock(m_mutex);
    if (m_muted.exchange(muted) != muted) {
        m_muteChanges.push_back({steadyNowNs(), muted});
    }
}

// m_mutex held.
bool AudioPipeline::mutedAt(std::int64_t steadyNs) const {
    const auto after = std::upper_bound(
        m_muteChanges.begin(), m_muteChanges.end(), steadyNs,
        [](std::int64_t at, const MuteChange& change) { return at < change.atNs; });
    if (after != m_muteChanges.begin()) {
        return std::prev(after)->muted;
    }
    return m_muteChanges.empty() ? m_muted.load() : !m_muteChanges.front().muted;
}

void AudioPipeline::reset() {
    std::lock_guard lock(m_mutex);
    m_converter.reset();
    m_framePosition = 0;
    m_pending.clear();
    m_readIndex = 0;
    m_isDraining = false;
}

void AudioPipeline::startTrack() {
    std::lock_guard lock(m_mutex);
    m_muteChanges.clear();  // the mute in force now holds from the new file's start
    m_recentDrift.clear();
    m_framePosition = 0;
    m_endPosition.reset();
    m_pending.clear();
    m_readIndex = 0;
    m_isDraining = false;
}

// --- buffers in ---

void AudioPipeline::handleTap(const PcmBuffer& buffer) {
    const auto timeline = m_video->timeline();
    PendingAudio pending;
    {
        std::lock_guard lock(m_mutex);
        if (!timeline.hasAudioInput || m_paused || !m_converter) {
            return;
        }
        pending.converter = m_converter;
        if (std::exchange(m_alignToVideo, false)) {
            // The first buffer of a microphone fixes where its audio goes. Unless the device
            // says when it heard it, the buffer holds the sound of the moment just before it
            // arrived: it belongs where the picture is now, however long the device took to
            // warm up; before the first frame that is the start of the file.
            pending.opensMicrophone = true;
            m_alignPosition =
                timeline.firstPTS ? pictureEnd(timeline.frameIndex) - trackFrames(buffer) : 0;
        }
    }
    auto copy = copyTapBuffer(buffer);
    if (!copy) {
        return;
    }
    pending.pcm = std::move(*copy);
    // Muting applies to what is heard while muted, however long the buffer waits to be written.
    pending.muted = m_muted.load();
    m_queue->post([weak = weak_from_this(), pending = std::move(pending)]() mutable {
        if (auto self = weak.lock()) {
            self->enqueue(std::move(pending));
        }
    });
}

void AudioPipeline::enqueue(PendingAudio buffer) {
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(std::move(buffer));
    }
    scheduleDrain();
}

void AudioPipeline::resumeIfWaiting() {
    {
        std::lock_guard lock(m_mutex);
        if (m_readIndex >= m_pending.size() || m_isDraining) {
            return;
        }
    }
    scheduleDrain();
}

void AudioPipeline::scheduleDrain() {
    {
        std::lock_guard lock(m_mutex);
        if (m_isDraining) {
            return;
        }
        m_isDraining = true;
    }
    m_queue->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->drain();
        }
    });
}

// --- writing ---

void AudioPipeline::drain() {
    for (;;) {
        const auto timeline = m_video->timeline();
        const PendingAudio* source = nextToWrite(timeline);
        if (!source || !timeline.writer->isAudioReadyForMoreMediaData()) {
            break;
        }
        const bool consumed = writeBuffer(*source, timeline);
        advanceReadIndex(consumed);
        if (!consumed) {
            break;
        }
    }
    std::lock_guard lock(m_mutex);
    m_isDraining = false;
}

const AudioPipeline::PendingAudio* AudioPipeline::nextToWrite(
    const VideoPipeline::Timeline& timeline) {
    std::lock_guard lock(m_mutex);
    if (m_readIndex >= m_pending.size() || m_paused || !timeline.hasAudioInput ||
        !timeline.firstPTS || !timeline.started || !timeline.writer || !m_converter) {
        return nullptr;
    }
    const MediaTime origin = timeline.clockOrigin.value_or(*timeline.firstPTS);
    // Only this queue changes the pending list, so the element stays put while it is used.
    PendingAudio& next = m_pending[m_readIndex];
    if (next.opensMicrophone) {
        if (!alignFirstBuffer(origin)) {
            return nullptr;
        }
        next.opensMicrophone = false;
    }
    // Sound is never written ahead of the picture (a virtual source may render ahead of time):
    // it waits until the picture gets there, or is cut where the picture ends.
    if (!m_endPosition && m_framePosition >= pictureEnd(timeline.frameIndex)) {
        return nullptr;
    }
    if (!next.followed && !followDeviceClock(next, origin)) {
        return nullptr;
    }
    return &next;
}

// m_mutex held.
std::optional<std::int64_t> AudioPipeline::stampedPosition(const PendingAudio& buffer,
                                                           MediaTime origin) const {
    if (!buffer.pcm.captureTime.isValid()) {
        return std::nullopt;
    }
    const std::int64_t at = (buffer.pcm.captureTime - origin).convertScale(targetSampleRate).value;
    // A time on another clock than the picture's would put the sound anywhere.
    if (!withinCaptureDelay(at - m_framePosition)) {
        return std::nullopt;
    }
    return at;
}

// m_mutex held. Laid end to end, a device's sound slides away from the picture as its clock
// differs from the computer's (a few hundred parts per million), and a device that lost some
// of its sound or handed over a burst late would shift everything after. Each buffer's stamp
// says where it belongs; where the track has parted from the stamps by more than the threshold,
// the track jumps to them: forward leaves silence, back drops what overlaps. A buffer whose stamp
// breaks with those before it waits for the next one, which tells a gap in the device's sound
// from one stray stamp. False when it waits.
bool AudioPipeline::followDeviceClock(PendingAudio& current, MediaTime origin) {
    const auto here = stampedPosition(current, origin);
    if (!here) {
        current.followed = true;
        return true;
    }
    const std::int64_t drift = *here - m_framePosition;
    std::vector<std::int64_t> weighed(m_recentDrift.begin(), m_recentDrift.end());
    const bool breaks =
        !weighed.empty() && std::none_of(weighed.begin(), weighed.end(), [&](std::int64_t past) {
            return std::abs(drift - past) <= followThresholdFrames;
        });
    weighed.push_back(drift);
    std::int64_t contiguous = m_framePosition + trackFrames(current.pcm);
    const std::size_t last = std::min(m_pending.size(), m_readIndex + 1 + followLookahead);
    for (std::size_t i = m_readIndex + 1; i < last; ++i) {
        if (const auto at = stampedPosition(m_pending[i], origin)) {
            weighed.push_back(*at - contiguous);
        }
        contiguous += trackFrames(m_pending[i].pcm);
    }
    if (breaks && last == m_readIndex + 1 && !m_endPosition) {
        return false;
    }
    current.followed = true;
    current.stamped = true;
    std::int64_t correction = median(std::move(weighed));
    if (std::abs(correction) <= followThresholdFrames) {
        correction = 0;
    }
    m_framePosition += correction;
    for (auto& past : m_recentDrift) {
        past -= correction;
    }
    m_recentDrift.push_back(drift - correction);
    if (m_recentDrift.size() > followHistory) {
        m_recentDrift.pop_front();
    }
    return true;
}

// m_mutex held. Where a microphone's first buffer goes, or nothing while it waits for a stamp.
// A device may tell the time only from a later buffer on (Pulse has no timing for a stream before
// sound came through it, and a source that hands over seconds at once stamps nothing of its first
// block): the sound before the first stamp was heard right before it and is laid end to end up to
// it. Placed by its arrival instead, such a block would sit apart from the stamped sound after
// it, and the track's jump to the stamps would leave a silent gap. Sound that tells no time is
// placed by its arrival, at once from a device that never stamps, else once more of it waits
// than a device could be late.
std::optional<std::int64_t> AudioPipeline::firstBufferPosition(MediaTime origin) const {
    const std::int64_t arrival = std::max<std::int64_t>(0, m_alignPosition);
    std::int64_t unstamped = 0;
    for (std::size_t i = m_readIndex; i < m_pending.size(); ++i) {
        const PcmBuffer& pcm = m_pending[i].pcm;
        if (pcm.captureTime.isValid()) {
            const std::int64_t heard =
                (pcm.captureTime - origin).convertScale(targetSampleRate).value - unstamped;
            // A time on another clock than the picture's would put the sound anywhere: it is
            // believed only near where the sound arrived.
            return withinCaptureDelay(heard - m_alignPosition) ? heard : arrival;
        }
        unstamped += trackFrames(pcm);
    }
    if (m_alignAwaitsStamp && !m_endPosition && withinCaptureDelay(unstamped)) {
        return std::nullopt;
    }
    return arrival;
}

// m_mutex held. The gap up to where the microphone's sound starts is written as silence by the
// writer. Sound heard before the first picture comes before the file's start and is left out.
bool AudioPipeline::alignFirstBuffer(MediaTime origin) {
    const auto align = firstBufferPosition(origin);
    if (!align) {
        return false;
    }
    m_recentDrift.clear();
    m_framePosition = m_framePosition == 0 ? *align : std::max(m_framePosition, *align);
    return true;
}

AudioPipeline::Placement AudioPipeline::place(int frames) {
    std::lock_guard lock(m_mutex);
    Placement placement;
    placement.analyse = ++m_analysedBuffers % analysisEvery == 0;
    // Only the part of the buffer between the file's start and the picture's end.
    placement.skip = static_cast<int>(std::clamp<std::int64_t>(-m_framePosition, 0, frames));
    placement.position = m_framePosition + placement.skip;
    const std::int64_t rest = frames - placement.skip;
    placement.keep = static_cast<int>(
        m_endPosition ? std::clamp<std::int64_t>(*m_endPosition - placement.position, 0, rest)
                      : rest);
    m_framePosition += frames - placement.keep;  // what is left out still passes by
    return placement;
}

bool AudioPipeline::writeBuffer(const PendingAudio& source,
                                const VideoPipeline::Timeline& timeline) {
    const auto& converter = source.converter;
    bool consumed = false;
    auto supply = [&](const PcmBuffer** handed) {
        if (consumed) {
            return platform::AudioConverter::InputStatus::noDataNow;
        }
        consumed = true;
        *handed = &source.pcm;
        return platform::AudioConverter::InputStatus::haveData;
    };
    auto& writer = *timeline.writer;
    PcmBuffer converted(targetFormat(), convertedBufferFrames);
    for (;;) {
        converted.frameLength = 0;
        if (auto result = converter->convert(converted, supply); !result) {
            platform::logLine("Audio convert error: " + result.error());
            break;
        }
        if (converted.frameLength == 0) {
            break;
        }
        float* samples = converted.floatData();
        for (int i = 0; i < converted.frameLength; ++i) {
            samples[i] = std::clamp(samples[i] * gain, -clipLimit, clipLimit);
        }
        const auto placement = place(converted.frameLength);
        if (placement.analyse && m_hear) {
            m_hear(converted);
        }
        if (placement.keep == 0) {
            continue;
        }
        if (placement.skip > 0) {
            std::memmove(samples, samples + placement.skip,
                         static_cast<std::size_t>(placement.keep) * sizeof(float));
        }
        // Muting is decided after the hand-off: the silence watch hears the real microphone.
        silenceMuted(samples, placement, source, timeline);
        const MediaTime pts = *timeline.firstPTS + MediaTime(placement.position, targetSampleRate);
        if (!writer.isAudioReadyForMoreMediaData()) {
            break;
        }
        if (!writer.appendAudio(samples, placement.keep, pts)) {
            if (auto error = writer.error()) {
                platform::logLine("append(audio) failed: " + *error);
                break;
            }
        }
        std::lock_guard lock(m_mutex);
        m_framePosition += placement.keep;
    }
    return consumed;
}

// Sound placed by its stamp is silenced where it was heard while muted; sound without a time, by
// the mute in force when it came in.
void AudioPipeline::silenceMuted(float* samples, const Placement& placement,
                                 const PendingAudio& source,
                                 const VideoPipeline::Timeline& timeline) const {
    if (!source.stamped || !timeline.clockOrigin) {
        if (source.muted) {
            std::fill(samples, samples + placement.keep, 0.0f);
        }
        return;
    }
    const std::int64_t originNs = timeline.clockOrigin->convertScale(1'000'000'000).value;
    std::lock_guard lock(m_mutex);
    for (int i = 0; i < placement.keep; ++i) {
        const std::int64_t heardNs =
            originNs + (placement.position + i) * 1'000'000'000 / targetSampleRate;
        if (mutedAt(heardNs)) {
            samples[i] = 0.0f;
        }
    }
}

void AudioPipeline::advanceReadIndex(bool consumed) {
    std::lock_guard lock(m_mutex);
    if (consumed) {
        ++m_readIndex;
    }
    if (m_readIndex >= compactionThreshold) {
        m_pending.erase(m_pending.begin(),
                        m_pending.begin() + static_cast<std::ptrdiff_t>(m_readIndex));
        m_readIndex = 0;
    }
}

void AudioPipeline::finishTrack() {
    auto timeline = m_video->timeline();
    if (!timeline.hasAudioInput || !timeline.started || !timeline.writer || !timeline.firstPTS) {
        return;
    }
    const std::int64_t end = pictureEnd(timeline.frameIndex);
    {
        std::lock_guard lock(m_mutex);
        m_endPosition = end;
    }
    // Buffers the microphone handed over before it stopped are queued ahead of this run.
    drain();
    {
        std::lock_guard lock(m_mutex);
        if (m_framePosition >= end) {
            return;
        }
        m_framePosition = end;
    }
    // A device that delivers in large blocks (or none at all while muted) leaves the track
    // short: the writer fills the gap up to this last sample with silence.
    const MediaTime lastSample = *timeline.firstPTS + MediaTime(end - 1, targetSampleRate);
    const float silence = 0.0f;
    auto& writer = *timeline.writer;
    if (writer.isAudioReadyForMoreMediaData() && !writer.appendAudio(&silence, 1, lastSample)) {
        if (auto error = writer.error()) {
            platform::logLine("append(audio) failed: " + *error);
        }
    }
}

}  // namespace recording
