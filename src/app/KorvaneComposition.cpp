#include "KorvaneComposition.h"

#include "SystemQuit.h"

#include "VideoChunkUploadRepository.h"
#include "VideoRepository.h"

namespace app {

KorvaneComposition::KorvaneComposition(AppConfiguration configuration,
                                       std::shared_ptr<api::HttpClient> client,
                                       std::shared_ptr<platform::Reachability> reachability,
                                       EnvironmentFactory recorderEnvironment,
                                       platform::DefaultsStore& defaults)
    : m_configuration(std::move(configuration)),
      m_client(std::move(client)),
      m_reachability(std::move(reachability)),
      m_recorderEnvironment(std::move(recorderEnvironment)),
      m_defaults(defaults) {}

std::shared_ptr<api::SignInRepository> KorvaneComposition::makeSignInRepository() const {
    auto gateway = api::NetworkingGateway::create(m_client, m_configuration.webBaseURL + "/api/",
                                                  "", {std::make_shared<api::MainNetworkAdapter>()},
                                                  m_reachability);
    return std::make_shared<api::SignInRepository>(gateway);
}

std::shared_ptr<recording::ScreenRecorder> KorvaneComposition::screenRecorder() {
    if (!m_screenRecorder) {
        auto gateway = api::NetworkingGateway::create(
            m_client, m_configuration.recordingApiBaseURL + "/api/v1/", "",
            {std::make_shared<api::MainNetworkAdapter>()}, m_reachability);
        auto uploader = std::make_shared<api::VideoChunkUploadRepository>(
            m_client, m_configuration.recordingApiBaseURL, m_defaults);
        auto repository = std::make_shared<api::VideoRepository>(gateway, uploader);
        m_screenRecorder = recording::ScreenRecorder::create(repository, m_recorderEnvironment());
        auto* recorder = m_screenRecorder.get();
        QObject::connect(recorder, &recording::ScreenRecorder::isRecordingChanged, recorder,
                         [recorder] {
                             if (recorder->isRecording()) {
                                 finalizeRecordingOnExit(recorder->shared_from_this());
                             }
                         });
    }
    return m_screenRecorder;
}

}  // namespace app
