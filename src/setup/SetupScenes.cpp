#include "SetupScenes.h"

#include "CountdownScene.h"
#include "MicrophonePickerScene.h"
#include "PrepareSessionScene.h"
#include "SourcePickerScene.h"
#include "StartRecordingScene.h"

#include "ScreenRecorder.h"

namespace setup {

namespace {
QUrl view(const char* file) {
    return QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Setup/qml/") + QLatin1String(file));
}
}  // namespace

std::vector<desktop::SceneRegistration> sceneRegistrations(const SetupContext& c) {
    return {
        {QStringLiteral("SourcePickerWindow"), view("SourcePickerWindow.qml"),
         [c]() -> QObject* { return new SourcePickerScene(*c.router, c.screenRecorder()); }},
        {QStringLiteral("MicrophoneWindow"), view("MicrophoneWindow.qml"),
         [c]() -> QObject* {
             const auto recorder = c.screenRecorder();
             return new MicrophonePickerScene(
                 *c.router, *c.defaults,
                 std::make_unique<MicrophoneSourcePickerViewModel>(
                     recorder->deviceDiscovery(), recorder->microphoneAuthorization()));
         }},
        {QStringLiteral("Countdown"), view("Countdown.qml"),
         [c]() -> QObject* { return new CountdownScene(*c.router, c.screenRecorder()); }},
    };
}

std::vector<desktop::PageRegistration> pageRegistrations(const SetupContext& c) {
    auto start = [c]() -> QObject* { return new StartRecordingScene(*c.router); };
    return {
        {int(desktop::PagesEnum::startSession), view("StartRecordingView.qml"), start},
        {int(desktop::PagesEnum::endSession), view("StartRecordingView.qml"), start},
        {int(desktop::PagesEnum::prepareSession), view("PrepareSessionView.qml"),
         [c]() -> QObject* {
             return new PrepareSessionScene(*c.router, c.screenRecorder(), *c.defaults,
                                            c.webBaseURL);
         }},
    };
}

}  // namespace setup
