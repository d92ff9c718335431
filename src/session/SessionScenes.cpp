#include "SessionScenes.h"

#include "CollectingInformationScene.h"
#include "InactivityReminderScene.h"
#include "RecordingBarScene.h"

#include "HttpClient.h"
#include "ScreenRecorder.h"

namespace session {

namespace {
QUrl view(const char* file) {
    return QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Session/qml/") + QLatin1String(file));
}
}  // namespace

std::vector<desktop::SceneRegistration> sceneRegistrations(const SessionContext& c) {
    desktop::SceneRegistration bar{
        QStringLiteral("RecordingBarGroup"), view("RecordingBarGroup.qml"), [c]() -> QObject* {
            return new RecordingBarScene(*c.router, c.screenRecorder(), *c.defaults, c.httpClient,
                                         c.recordingApiBaseURL);
        }};
    bar.takesFocus = false;
    bar.level = desktop::WindowLevel::sessionFloating;
    desktop::SceneRegistration reminder{
        QStringLiteral("InactivityReminderWindow"), view("InactivityReminderWindow.qml"),
        [c]() -> QObject* { return new InactivityReminderScene(*c.router); }};
    reminder.takesFocus = false;
    reminder.level = desktop::WindowLevel::sessionFloating;
    desktop::SceneRegistration collecting{
        QStringLiteral("CollectingInformationGroup"), view("CollectingInformationGroup.qml"),
        [c]() -> QObject* {
            return new CollectingInformationScene(*c.router, c.screenRecorder(), *c.defaults,
                                                  c.webBaseURL);
        }};
    return {bar, reminder, collecting};
}

}  // namespace session
