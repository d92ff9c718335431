#pragma once

#include "desktop/Router.h"
#include "desktop/SceneRegistration.h"
#include "platform/DefaultsStore.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace recording {
class ScreenRecorder;
}

namespace setup {

// What the session-setup windows need from the application.
struct SetupContext {
    desktop::Router* router = nullptr;
    // The one recorder of the run, made on first use.
    std::function<std::shared_ptr<recording::ScreenRecorder>()> screenRecorder;
    platform::DefaultsStore* defaults = nullptr;
    QString webBaseURL;
};

// The source picker, the microphone picker and the countdown.
std::vector<desktop::SceneRegistration> sceneRegistrations(const SetupContext& context);
// The start page (also shown at the end of a session) and the preparation page.
std::vector<desktop::PageRegistration> pageRegistrations(const SetupContext& context);

}  // namespace setup
