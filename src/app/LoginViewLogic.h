#pragma once

#include "LogInViewModel.h"

#include "desktop/Router.h"

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include <functional>

namespace app {

// Everything the sign-in view decides: the input check, focus, the double-submit guard, the alert,
// and where to go after a sign-in. The QML view only binds to it.
class LoginViewLogic : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(int focusedField READ focusedFieldValue NOTIFY focusedFieldChanged)
    Q_PROPERTY(bool isSigningIn READ isSigningIn NOTIFY isSigningInChanged)
    Q_PROPERTY(bool showErrorAlert READ showErrorAlert WRITE setShowErrorAlert NOTIFY
                   showErrorAlertChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool loginBorderFocusedAtEdges READ loginBorderFocusedAtEdges NOTIFY
                   loginBorderFocusedAtEdgesChanged)

  public:
    enum class Field { none = -1, username = 0, password = 1 };

    LoginViewLogic(LogInViewModel& viewModel, QString webBaseURL, desktop::Router& router,
                   QObject* parent = nullptr);

    Field focusedField() const { return m_focusedField; }
    int focusedFieldValue() const { return static_cast<int>(m_focusedField); }
    Q_INVOKABLE void setFocusedField(int field);
    bool isSigningIn() const { return m_isSigningIn; }
    bool showErrorAlert() const { return m_showErrorAlert; }
    void setShowErrorAlert(bool value);
    const QString& errorMessage() const { return m_errorMessage; }
    bool loginBorderFocusedAtEdges() const { return m_loginBorderFocusedAtEdges; }

    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void submit();       // Return in either field
    Q_INVOKABLE void loginTapped();  // the Login button
    Q_INVOKABLE void loginHovered(bool inside);
    Q_INVOKABLE void forgotPasswordPressed();
    QString forgotPasswordURL() const;

  signals:
    void focusedFieldChanged();
    void isSigningInChanged();
    void showErrorAlertChanged();
    void errorMessageChanged();
    void loginBorderFocusedAtEdgesChanged();

  private:
    void signInCheck();
    void onNavigate();
    void onError();
    void setFocused(Field field);
    void setIsSigningIn(bool value);
    void setErrorMessage(const QString& value);

    LogInViewModel& m_viewModel;
    QString m_webBaseURL;
    desktop::Router& m_router;
    Field m_focusedField = Field::none;
    bool m_isSigningIn = false;
    bool m_showErrorAlert = false;
    QString m_errorMessage;
    bool m_loginBorderFocusedAtEdges = false;
};

}  // namespace app
