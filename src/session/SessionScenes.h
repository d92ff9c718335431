#pragma once

#include "desktop/Router.h"
#include "desktop/SceneRegistration.h"
#include "platform/DefaultsStore.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace api {
class HttpClient;
}
namespace recording {
class ScreenRecorder;
}

namespace session {

// What the recording-control windows need from the application.
struct SessionContext {
    desktop::Router* router = nullptr;
    std::function<std::shared_ptr<recording::ScreenRecorder>()> screenRecorder;
    platform::DefaultsStore* defaults = nullptr;
    QString webBaseURL;
    // The recording API's base address (scheme://host[:port]) and the client that reaches it.
    QString recordingApiBaseURL;
    std::shared_ptr<api::HttpClient> httpClient;
};

// The recording bar, the inactivity reminder and the post-session window.
std::vector<desktop::SceneRegistration> sceneRegistrations(const SessionContext& context);

}  // namespace session
