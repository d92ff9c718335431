#include "LoginViewLogic.h"

#include "platform/AssignIfChanged.h"

#include <QUrl>

namespace app {

LoginViewLogic::LoginViewLogic(LogInViewModel& viewModel, QString webBaseURL,
                               desktop::Router& router, QObject* parent)
    : QObject(parent),
      m_viewModel(viewModel),
      m_webBaseURL(std::move(webBaseURL)),
      m_router(router) {
    connect(&m_viewModel, &LogInViewModel::isLoggedInChanged, this, [this] {
        if (m_viewModel.isLoggedIn()) {
            onNavigate();
        }
    });
    connect(&m_viewModel, &LogInViewModel::haveErrorChanged, this, [this] {
        if (m_viewModel.haveError()) {
            onError();
        }
    });
}

void LoginViewLogic::setFocused(Field field) {
    if (!platform::assignIfChanged(m_focusedField, field)) {
        return;
    }
    emit focusedFieldChanged();
}

void LoginViewLogic::setFocusedField(int field) {
    setFocused(field == 0 ? Field::username : field == 1 ? Field::password : Field::none);
}

void LoginViewLogic::setIsSigningIn(bool value) {
    if (!platform::assignIfChanged(m_isSigningIn, value)) {
        return;
    }
    emit isSigningInChanged();
}

void LoginViewLogic::setShowErrorAlert(bool value) {
    if (!platform::assignIfChanged(m_showErrorAlert, value)) {
        return;
    }
    emit showErrorAlertChanged();
}

void LoginViewLogic::setErrorMessage(const QString& value) {
    if (!platform::assignIfChanged(m_errorMessage, value)) {
        return;
    }
    emit errorMessageChanged();
}

void LoginViewLogic::onAppear() {
    // A session may already be stored (the network was down at launch). The form stays usable
    // all the same: signing in again is always possible.
    setFocused(Field::username);
}

void LoginViewLogic::submit() {
    if (m_isSigningIn) {
        return;
    }
    if (m_focusedField == Field::username) {
        setFocused(Field::password);
        return;
    }
    signInCheck();
}

void LoginViewLogic::loginTapped() {
    if (!m_isSigningIn) {
        signInCheck();
    }
}

void LoginViewLogic::signInCheck() {
    // Checked trimmed, sent as typed.
    const bool hasUser = !m_viewModel.userName().trimmed().isEmpty();
    const bool hasPassword = hasUser && !m_viewModel.password().trimmed().isEmpty();
    if (hasUser && hasPassword) {
        setIsSigningIn(true);
        m_viewModel.login();
        return;
    }
    setErrorMessage(QStringLiteral("Please enter your credentials"));
    setShowErrorAlert(true);
    setFocused(hasUser ? Field::password : Field::username);
}

void LoginViewLogic::onNavigate() {
    m_router.setPage(desktop::PagesEnum::startSession);
    m_router.dismissWindow(QStringLiteral("LoginWindowGroup"));
    m_router.openWindow(QStringLiteral("KVWindowGroup"));
    setIsSigningIn(false);
}

void LoginViewLogic::onError() {
    setErrorMessage(m_viewModel.errorMessage().isEmpty() ? QStringLiteral("Wrong credentials")
                                                         : m_viewModel.errorMessage());
    // A fresh alert each time, even when the last one is still up.
    setShowErrorAlert(false);
    setShowErrorAlert(true);
    setIsSigningIn(false);
}

void LoginViewLogic::loginHovered(bool inside) {
    if (m_loginBorderFocusedAtEdges != inside) {
        m_loginBorderFocusedAtEdges = inside;
        emit loginBorderFocusedAtEdgesChanged();
    }
}

QString LoginViewLogic::forgotPasswordURL() const {
    return m_webBaseURL + QStringLiteral("/forgot-password");
}

void LoginViewLogic::forgotPasswordPressed() {
    const QUrl url(forgotPasswordURL(), QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty()) {
        m_router.openURL(url);
    }
}

}  // namespace app
