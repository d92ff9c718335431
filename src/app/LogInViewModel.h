#pragma once

#include "NetworkError.h"
#include "SignInRepository.h"

#include "platform/DefaultsStore.h"
#include "platform/Single.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace app {

// The sign-in window's state: sends the typed credentials, keeps the session of a successful
// reply in the settings, and raises isLoggedIn or haveError for the window to act on.
class LogInViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(bool haveError READ haveError NOTIFY haveErrorChanged)
    Q_PROPERTY(bool isLoging READ isLoging NOTIFY isLogingChanged)
    Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(QString responseStatus READ responseStatus NOTIFY responseStatusChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(QString userName READ userName WRITE setUserName NOTIFY userNameChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(bool validUser READ validUser NOTIFY validUserChanged)
    Q_PROPERTY(bool shouldNavigateToStartRecording READ shouldNavigateToStartRecording NOTIFY
                   shouldNavigateToStartRecordingChanged)

  public:
    explicit LogInViewModel(std::shared_ptr<api::SignInProtocol> signInRepo,
                            platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
                            QObject* parent = nullptr);

    const std::optional<api::NetworkError>& uploadError() const { return m_uploadError; }
    bool haveError() const { return m_haveError; }
    bool isLoging() const { return m_isLoging; }
    bool isLoggedIn() const { return m_isLoggedIn; }
    const QString& responseStatus() const { return m_responseStatus; }
    const QString& errorMessage() const { return m_errorMessage; }
    const QString& userName() const { return m_userName; }
    void setUserName(const QString& value);
    const QString& password() const { return m_password; }
    void setPassword(const QString& value);
    bool validUser() const { return m_validUser; }
    bool shouldNavigateToStartRecording() const { return m_shouldNavigateToStartRecording; }

    // Main thread. Sends userName and password exactly as they stand.
    Q_INVOKABLE void login();

  signals:
    void haveErrorChanged();
    void isLogingChanged();
    void isLoggedInChanged();
    void responseStatusChanged();
    void errorMessageChanged();
    void userNameChanged();
    void passwordChanged();
    void validUserChanged();
    void shouldNavigateToStartRecordingChanged();

  private:
    void setHaveError(bool value);
    void setIsLoging(bool value);
    void setIsLoggedIn(bool value);
    void setResponseStatus(const QString& value);
    void setErrorMessage(const QString& value);
    void setShouldNavigateToStartRecording(bool value);

    std::optional<api::NetworkError> m_uploadError;
    bool m_haveError = false;
    bool m_isLoging = false;
    bool m_isLoggedIn = false;
    QString m_responseStatus;
    QString m_errorMessage;
    QString m_userName;
    QString m_password;
    bool m_validUser = false;
    bool m_shouldNavigateToStartRecording = false;
    std::shared_ptr<api::SignInProtocol> m_signInRepo;
    platform::DefaultsStore& m_defaults;
    std::vector<platform::Cancellable> m_cancellableSet;
};

}  // namespace app
