#pragma once

#include "desktop/Router.h"
#include "desktop/SceneRegistration.h"
#include "platform/DefaultsStore.h"

#include <functional>
#include <memory>
#include <vector>

namespace recording {
class ScreenRecorder;
}

namespace session {

// What the recording-control windows need from the application.
struct SessionContext {
    desktop::Router* router = nullptr;
    std::function<std::shared_ptr<recording::ScreenRecorder>()> screenRecorder;
    platform::DefaultsStore* defaults = nullptr;
};

// The recording bar, the inactivity reminder and the post-session window.
std::vector<desktop::SceneRegistration> sceneRegistrations(const SessionContext& context);

}  // namespace session
