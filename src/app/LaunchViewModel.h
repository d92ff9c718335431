#pragma once

#include "NetworkError.h"
#include "SignInRepository.h"

#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include "platform/Reachability.h"
#include "platform/Single.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace app {

// Asks the web API whether the stored session is still valid.
class LaunchViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(bool isLoging READ isLoging NOTIFY isLogingChanged)
    Q_PROPERTY(QString responseStatus READ responseStatus NOTIFY responseStatusChanged)
    Q_PROPERTY(bool validUser READ validUser NOTIFY validUserChanged)

  public:
    explicit LaunchViewModel(
        std::shared_ptr<api::SignInProtocol> signInRepo,
        platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
        QObject* parent = nullptr);

    // Main thread. The completion runs exactly once, on the main thread, with true when the stored
    // session is valid. A failure removes the stored "cookie" and "userID".
    void validateUser(std::function<void(bool)> completion);

    const std::optional<api::NetworkError>& uploadError() const { return m_uploadError; }
    bool haveError() const { return m_haveError; }
    bool isLoging() const { return m_isLoging; }
    bool isLoggedIn() const { return m_isLoggedIn; }
    const QString& responseStatus() const { return m_responseStatus; }
    bool validUser() const { return m_validUser; }

  signals:
    void isLogingChanged();
    void responseStatusChanged();
    void validUserChanged();

  private:
    void setValidUser(bool value);

    std::optional<api::NetworkError> m_uploadError;
    bool m_haveError = false;
    bool m_isLoging = false;
    bool m_isLoggedIn = false;
    QString m_responseStatus;
    bool m_validUser = false;
    std::shared_ptr<api::SignInProtocol> m_signInRepo;
    platform::DefaultsStore& m_defaults;
    std::vector<platform::Cancellable> m_cancellableSet;
};

// The launch window's decision: straight to sign-in without network; otherwise validate a stored
// session and, after at least the minimum display time, open the main window or the sign-in.
class LaunchFlow : public QObject {
    Q_OBJECT

  public:
    LaunchFlow(LaunchViewModel& viewModel, std::shared_ptr<platform::Reachability> reachability,
               desktop::Router& router,
               platform::DefaultsStore& defaults = platform::DefaultsStore::standard(),
               QObject* parent = nullptr);

    std::chrono::nanoseconds minimumSplashDuration{3'000'000'000};

    // The window appeared.
    Q_INVOKABLE void onAppear();

  private:
    void decide(bool valid);

    LaunchViewModel& m_viewModel;
    std::shared_ptr<platform::Reachability> m_reachability;
    desktop::Router& m_router;
    platform::DefaultsStore& m_defaults;
    std::chrono::steady_clock::time_point m_taskStart;
};

}  // namespace app
