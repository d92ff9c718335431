#pragma once

#include "AppConfiguration.h"

#include "HttpClient.h"
#include "NetworkingGateway.h"
#include "ScreenRecorder.h"
#include "SignInRepository.h"

#include "platform/Reachability.h"

#include <functional>
#include <memory>

namespace app {

// Builds what the windows need: a web-API sign-in repository for every launch and sign-in view,
// and the one recorder of the run, made the first time it is asked for.
class KorvaneComposition {
  public:
    using EnvironmentFactory = std::function<recording::RecorderEnvironment()>;

    KorvaneComposition(AppConfiguration configuration, std::shared_ptr<api::HttpClient> client,
                       std::shared_ptr<platform::Reachability> reachability,
                       EnvironmentFactory recorderEnvironment,
                       platform::DefaultsStore& defaults = platform::DefaultsStore::standard());

    // A new gateway on the web application's "api/" each time.
    std::shared_ptr<api::SignInRepository> makeSignInRepository() const;
    std::shared_ptr<recording::ScreenRecorder> screenRecorder();
    // The recorder when one was made; none is made here.
    std::shared_ptr<recording::ScreenRecorder> existingScreenRecorder() const {
        return m_screenRecorder;
    }
    const AppConfiguration& configuration() const { return m_configuration; }
    std::shared_ptr<platform::Reachability> reachability() const { return m_reachability; }
    std::shared_ptr<api::HttpClient> httpClient() const { return m_client; }

  private:
    AppConfiguration m_configuration;
    std::shared_ptr<api::HttpClient> m_client;
    std::shared_ptr<platform::Reachability> m_reachability;
    EnvironmentFactory m_recorderEnvironment;
    platform::DefaultsStore& m_defaults;
    std::shared_ptr<recording::ScreenRecorder> m_screenRecorder;
};

}  // namespace app
