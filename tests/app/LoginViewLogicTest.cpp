#include "LoginViewLogic.h"

#include "FakeGateway.h"
#include "FakeRouter.h"
#include "Pump.h"

#include <gtest/gtest.h>

#include <cstdlib>

using Field = app::LoginViewLogic::Field;

namespace {

class LoginViewLogicTest : public ::testing::Test {
  protected:
    LoginViewLogicTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/loginview-%1.ini").arg(counter++)),
          model(std::make_shared<api::SignInRepository>(gateway), defaults),
          view(model, QStringLiteral("https://web.example"), router) {
        view.onAppear();
    }
    static inline int counter = 0;
    std::shared_ptr<FakeGateway> gateway = std::make_shared<FakeGateway>();
    platform::DefaultsStore defaults;
    app::LogInViewModel model;
    FakeRouter router;
    std::vector<std::string>& events = router.events;
    app::LoginViewLogic view;
};

}  // namespace

TEST_F(LoginViewLogicTest, ReturnMovesFromUserNameToPasswordAndEmptyInputIsRefused) {
    EXPECT_EQ(view.focusedField(), Field::username);
    model.setUserName(QStringLiteral("   "));
    view.submit();
    EXPECT_EQ(view.focusedField(), Field::password) << "Return in the user name only moves on";
    EXPECT_TRUE(gateway->sent.empty());
    view.submit();
    EXPECT_TRUE(view.showErrorAlert());
    EXPECT_EQ(view.errorMessage(), QStringLiteral("Please enter your credentials"));
    EXPECT_EQ(view.focusedField(), Field::username) << "a blank user name is where to start";
    EXPECT_TRUE(gateway->sent.empty());

    view.setShowErrorAlert(false);
    model.setUserName(QStringLiteral(" trader "));
    view.loginTapped();
    EXPECT_EQ(view.focusedField(), Field::password) << "a user name but no password";
    EXPECT_TRUE(gateway->sent.empty());
}

TEST_F(LoginViewLogicTest, ASignInRunsOnceAndLeadsToTheMainWindow) {
    model.setUserName(QStringLiteral(" trader "));
    model.setPassword(QStringLiteral("secret"));
    view.setFocusedField(1);
    view.submit();
    view.loginTapped();  // Return reaching the default button too
    view.submit();
    EXPECT_TRUE(view.isSigningIn());
    ASSERT_TRUE(pumpUntil([&] { return !view.isSigningIn(); }));
    EXPECT_EQ(gateway->sent.size(), 1u) << "one sign-in, however many submits";
    EXPECT_EQ(events, (std::vector<std::string>{"page startSession", "dismiss LoginWindowGroup",
                                                "open KVWindowGroup"}));
}

TEST_F(LoginViewLogicTest, EachFailureShowsTheAlertAndFreesTheForm) {
    gateway->reply = std::unexpected(api::NetworkError::unknownCode(401));
    model.setUserName(QStringLiteral("trader"));
    model.setPassword(QStringLiteral("wrong"));
    int alerts = 0;
    QObject::connect(&view, &app::LoginViewLogic::showErrorAlertChanged,
                     [&] { alerts += view.showErrorAlert() ? 1 : 0; });
    for (int attempt = 1; attempt <= 2; ++attempt) {
        view.loginTapped();
        ASSERT_TRUE(pumpUntil([&] { return alerts == attempt && !view.isSigningIn(); }));
        EXPECT_EQ(view.errorMessage(), QStringLiteral("Wrong credentials"));
    }
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(model.userName(), QStringLiteral("trader")) << "typed values are kept";
}

TEST_F(LoginViewLogicTest, ThePasswordResetLinkOpensTheWebApplicationsPage) {
    view.forgotPasswordPressed();
    EXPECT_EQ(events, (std::vector<std::string>{"url https://web.example/forgot-password"}));
    view.loginHovered(true);
    EXPECT_TRUE(view.loginBorderFocusedAtEdges());
}
