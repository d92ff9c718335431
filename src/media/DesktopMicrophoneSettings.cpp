#include "media/DesktopMicrophoneSettings.h"

#include "platform/Log.h"

#include <QProcess>
#include <QStandardPaths>

namespace platform {

bool DesktopMicrophoneSettingsUi::runAccessAlert(const std::string& message,
                                                 const std::string& informative, const std::string&,
                                                 const std::string&) {
    logLine(message + ": " + informative);
    return false;
}

void DesktopMicrophoneSettingsUi::openMicrophoneSettings() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pavucontrol"));
    if (!program.isEmpty()) {
        QProcess::startDetached(program, {QStringLiteral("-t"), QStringLiteral("4")});
    }
}

}  // namespace platform
