// The recorder's recordings: the start, the ways one ends (stop, the capture ending by itself,
// delete, repeat) and the hand-off of the finished file to the upload. Main thread unless a
// comment says otherwise.
#include "ScreenRecorder.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

namespace recording {

// --- the start ---

void ScreenRecorder::startNewRecording() {
    m_file->forget();
    onMain([](ScreenRecorder& self) { self.startRecording(); });
}

void ScreenRecorder::startRecording() {
    auto url = m_capture->makeOutputURL();
    if (!url) {
        failStart(url.error());
        return;
    }
    startCapture(*url, [weak = weak_from_this()](std::optional<platform::CaptureError> error) {
        if (!error) {
            return;
        }
        platform::MainQueue::post([weak, text = error->localizedDescription] {
            if (auto self = weak.lock()) {
                self->failStart(text);
            }
        });
    });
}

void ScreenRecorder::failStart(const std::string& text) {
    platform::logLine(text);
    // Nothing was recorded: a key naming the file this start meant to write would send a later
    // upload after a file that never was.
    m_file->forgetUnlessOnDisk();
    // Said to the trader as an upload failure is; the windows waiting for the recording take
    // this as its end.
    setErrorMessage(QString::fromStdString(text));
    setIsShowError(true);
}

void ScreenRecorder::startCapture(const std::string& url, CaptureSession::Completion completion) {
    if (!m_capture->contentFilter()) {
        completion(platform::CaptureError{"ScreenRecorder", -10, "No content filter"});
        return;
    }
    m_video->setPendingOutputURL(url);
    CaptureSession::Options options;
    options.showsCursor = m_showsCursor;
    options.scale = m_videoScale == VideoScale::high ? 2.0 : 1.0;
    options.framesPerSecond = VideoPipeline::targetFPS;
    auto ready = [this, url] {
        m_video->clearFailure();
        m_file->remember(url);
    };
    std::weak_ptr<VideoPipeline> video = m_video;
    m_capture->start(
        options,
        [video](const platform::VideoSample& sample) {
            if (auto pipeline = video.lock()) {
                pipeline->handleSample(sample);
            }
        },
        m_video->writerQueue(), ready,
        [weak = weak_from_this(), completion](std::optional<platform::CaptureError> error) {
            auto self = weak.lock();
            if (self && !error) {
                self->captureStarted();
            }
            completion(error);
        });
}

void ScreenRecorder::captureStarted() {
    setIsRecording(true);
    m_captureEnding = false;
    m_capture->showBorder();
    m_capture->output().finishRecording = [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->finishRecording();
        }
    };
    if (m_video->hasFailure()) {
        // The writer failed on the first frames, before the capture's start was heard here.
        stopRecording();
    }
}

void ScreenRecorder::markRecordingStarted() {
    setIsRecording(true);
}

// --- the end ---

void ScreenRecorder::haltInputs() {
    ++m_stopGeneration;
    m_microphone->stop(false);
    m_video->stopEncoder();
}

void ScreenRecorder::endCapture(std::function<void(ScreenRecorder&)> then,
                                const char* failurePrefix) {
    std::weak_ptr<ScreenRecorder> weak = weak_from_this();
    const bool stopping =
        m_capture->stop([weak, then, failurePrefix](std::optional<platform::CaptureError> error) {
            if (error && failurePrefix) {
                platform::logLine(failurePrefix + error->localizedDescription);
            }
            if (auto self = weak.lock()) {
                then(*self);
            }
        });
    if (!stopping) {
        then(*this);
    }
}

void ScreenRecorder::stopRecording() {
    if (m_captureEnding) {
        return;  // already on its way out: a second finalization would upload twice
    }
    m_captureEnding = true;
    endCapture([](ScreenRecorder& self) { self.finishRecording(); }, "");
}

void ScreenRecorder::captureDidStopWithError(const std::string& text) {
    if (!m_isRecording) {
        return;
    }
    platform::logLine(text);
    if (m_captureEnding) {
        return;  // a stop was asked for meanwhile and ends it
    }
    // The stream has stopped already; what was recorded is finalized and uploaded.
    m_captureEnding = true;
    finishRecording();
}

void ScreenRecorder::finishRecording() {
    haltInputs();
    // Frames already handed over are let through the writer and video queues first, so none of
    // them restarts the encode timer or reaches the writer after it is finalized. The picture's
    // length is final then: the audio track is ended there before the writer finishes the file.
    runInOrder({{&m_video->writerQueue(), {}},
                {&m_video->videoQueue(), [](ScreenRecorder& self) { self.m_video->stopEncoder(); }},
                {&m_audio->queue(), [](ScreenRecorder& self) { self.m_audio->finishTrack(); }},
                {&m_video->writerQueue(), [](ScreenRecorder& self) { self.m_video->finalize(); }}});
}

void ScreenRecorder::completeStop() {
    m_capture->forgetStream();
    m_captureEnding = false;
    if (!m_preserveSelectionOnStop) {
        m_capture->forgetContent();
    }
    setIsRecording(false);
    m_capture->hideBorder();
    const auto failure = m_video->takeFailure();
    if (failure) {
        // A writer that could not be made left no file, and one removed with its folder is gone:
        // the key names no file that is not there.
        m_file->forgetUnlessOnDisk();
    }
    if (!m_skipUploadOnStop) {
        if (failure) {
            // An unfinished file is no recording: it stays on disk and under its key, and the
            // trader hears why instead of a success.
            platform::logLine("Recording failed: " + *failure);
            setIsSuccess(false);
            setErrorMessage(QString::fromStdString(*failure));
            setIsShowError(true);
        } else {
            uploadRecordedVideo();
        }
    }
    m_preserveSelectionOnStop = false;
    m_skipUploadOnStop = false;
    emit recordingFinalized();
    if (m_startAfterStop) {
        m_startAfterStop = false;
        startNextRecordingAfterStop();
    }
}

// --- the upload ---

void ScreenRecorder::uploadRecordedVideo() {
    if (!m_file->canUpload()) {
        setIsShowError(true);
        return;
    }
    setIsUploading(true);
    m_uploadError.reset();
    m_uploadProgress.reset();
    setErrorMessage(std::nullopt);
    setSuccessMessage(std::nullopt);
    setIsSuccess(false);
    m_file->upload([weak = weak_from_this()](RecordingFile::UploadResult result) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (result) {
            self->m_uploadResponse = *result;
            emit self->uploadResponseChanged();
            self->setIsSuccess(true);
            self->setSuccessMessage(QStringLiteral("Video uploaded successfully"));
            self->m_file->deleteStored();
            self->setIsUploading(false);
            return;
        }
        // The file stays on disk and under its key: nothing is lost.
        self->setIsUploading(false);
        self->m_uploadError = result.error();
        self->setIsShowError(true);
        self->setErrorMessage(QString::fromStdString(result.error().localizedDescription()));
    });
}

// --- delete and repeat ---

void ScreenRecorder::clearUploadState() {
    m_file->deleteStored();
    setIsUploading(false);
    m_uploadProgress.reset();
    m_uploadResponse.reset();
    m_uploadError.reset();
    setIsShowError(false);
    setIsSuccess(false);
    setErrorMessage(std::nullopt);
    setSuccessMessage(std::nullopt);
}

void ScreenRecorder::deleteRecording() {
    if (!m_isRecording) {
        clearUploadState();
        return;
    }
    m_captureEnding = true;
    haltInputs();
    endCapture([](ScreenRecorder& self) { self.discardRecording(); },
               "Failed to stop capture while deleting: ");
}

void ScreenRecorder::discardRecording() {
    m_capture->hideBorder();
    setIsRecording(false);
    m_capture->forgetStream();
    m_captureEnding = false;
    m_capture->forgetContent();
    // The writer is cancelled once the frames still in hand have passed the writer and video
    // queues; the partial file goes with it.
    runInOrder({{&m_video->writerQueue(), {}}, {&m_video->videoQueue(), [](ScreenRecorder& self) {
                                                    self.m_video->cancel();
                                                    self.onMain([](ScreenRecorder& last) {
                                                        last.clearUploadState();
                                                    });
                                                }}});
}

void ScreenRecorder::repeatRecording() {
    m_preserveSelectionOnStop = true;
    m_skipUploadOnStop = true;
    if (!m_isRecording) {
        platform::MainQueue::postAfter(std::chrono::milliseconds(150), [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->startNextRecordingAfterStop();
            }
        });
        return;
    }
    m_captureEnding = true;
    haltInputs();
    // The new take starts only once this stop has completed, so a slow finalization can never
    // clear the new capture's state.
    m_startAfterStop = true;
    endCapture([](ScreenRecorder& self) { self.finishRecording(); }, nullptr);
}

// --- quitting ---

bool ScreenRecorder::endForQuit() {
    m_startAfterStop = false;
    if (!m_isRecording) {
        return false;
    }
    m_skipUploadOnStop = true;
    stopRecording();  // nothing more when a stop is already on its way
    return true;
}

bool ScreenRecorder::finalizeBeforeExit(std::chrono::milliseconds limit) {
    m_startAfterStop = false;
    if (!m_isRecording) {
        return true;
    }
    m_skipUploadOnStop = true;
    m_captureEnding = true;
    // Whatever stop was on its way waits for the main thread, which will not run again: the
    // file is finalized from here. A second finalization finds the writer finished and only
    // clears it. The capture is left alone: its own thread ends with the process.
    const auto endedBefore = m_video->endedCount();
    finishRecording();
    return m_video->waitForEnd(endedBefore, limit);
}

void ScreenRecorder::startNextRecordingAfterStop() {
    m_file->deleteStored();
    startNewRecording();
}

// --- work across the queues ---

void ScreenRecorder::runStep(std::weak_ptr<ScreenRecorder> weak,
                             std::shared_ptr<std::vector<QueueStep>> steps, std::size_t index) {
    (*steps)[index].queue->post([weak, steps, index] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (const auto& work = (*steps)[index].work) {
            work(*self);
        }
        if (index + 1 < steps->size()) {
            runStep(weak, steps, index + 1);
        }
    });
}

void ScreenRecorder::runInOrder(std::vector<QueueStep> steps) {
    if (!steps.empty()) {
        runStep(weak_from_this(), std::make_shared<std::vector<QueueStep>>(std::move(steps)), 0);
    }
}

}  // namespace recording
