#include "SessionScenes.h"

namespace session {

namespace {
QUrl view(const char* file) {
    return QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Session/qml/") + QLatin1String(file));
}
}  // namespace

std::vector<desktop::SceneRegistration> sceneRegistrations(const SessionContext&) {
    // Not built yet: the windows open empty.
    return {
        {QStringLiteral("InactivityReminderWindow"), view("InactivityReminderWindow.qml"), {}},
        {QStringLiteral("RecordingBarGroup"), view("RecordingBarGroup.qml"), {}},
        {QStringLiteral("CollectingInformationGroup"), view("CollectingInformationGroup.qml"), {}},
    };
}

}  // namespace session
