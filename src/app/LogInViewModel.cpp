#include "LogInViewModel.h"

#include "Requests.h"

#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QPointer>

namespace app {

LogInViewModel::LogInViewModel(std::shared_ptr<api::SignInProtocol> signInRepo,
                               platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent), m_signInRepo(std::move(signInRepo)), m_defaults(defaults) {}

#define KORVANE_SETTER(name, type, field, signal)       \
    void LogInViewModel::name(type value) {             \
        if (!platform::assignIfChanged(field, value)) { \
            return;                                     \
        }                                               \
        emit signal();                                  \
    }

KORVANE_SETTER(setUserName, const QString&, m_userName, userNameChanged)
KORVANE_SETTER(setPassword, const QString&, m_password, passwordChanged)
KORVANE_SETTER(setHaveError, bool, m_haveError, haveErrorChanged)
KORVANE_SETTER(setIsLoging, bool, m_isLoging, isLogingChanged)
KORVANE_SETTER(setIsLoggedIn, bool, m_isLoggedIn, isLoggedInChanged)
KORVANE_SETTER(setResponseStatus, const QString&, m_responseStatus, responseStatusChanged)
KORVANE_SETTER(setErrorMessage, const QString&, m_errorMessage, errorMessageChanged)
KORVANE_SETTER(setShouldNavigateToStartRecording, bool, m_shouldNavigateToStartRecording,
               shouldNavigateToStartRecordingChanged)
#undef KORVANE_SETTER

void LogInViewModel::login() {
    QPointer<LogInViewModel> self(this);
    // Queued before the request starts, so it always lands before this sign-in's outcome.
    platform::MainQueue::post([self] {
        if (!self) {
            return;
        }
        self->setIsLoging(true);
        self->setHaveError(false);
        self->setErrorMessage(QString());
        self->m_uploadError.reset();
    });
    const std::string user = m_userName.toStdString();
    const std::string password = m_password.toStdString();
    const api::SignInRequest request(user, password);
    platform::DefaultsStore* defaults = &m_defaults;
    m_cancellableSet.push_back(
        m_signInRepo->networking()
            ->request(request)
            .receiveOn(platform::MainQueue::executor())
            .subscribe(
                [self, defaults](std::expected<api::SignInResponse, api::NetworkError> result) {
                    if (result) {
                        if (self) {
                            self->setResponseStatus(QStringLiteral("success"));
                        }
                        // In place before the window reacts to isLoggedIn.
                        defaults->setString("cookie", result->cookie);
                        defaults->setString("userID", result->userId);
                    }
                    if (!self) {
                        return;
                    }
                    if (result) {
                        self->setIsLoggedIn(true);
                        self->setShouldNavigateToStartRecording(true);
                    }
                    self->setIsLoging(false);
                    if (!result) {
                        self->m_uploadError = result.error();
                        self->setIsLoggedIn(false);
                        self->setErrorMessage(QStringLiteral("Wrong credentials"));
                        self->setHaveError(true);
                        self->setShouldNavigateToStartRecording(false);
                    }
                }));
}

}  // namespace app
