#include "LogInViewModel.h"

#include "Await.h"
#include "FakeGateway.h"
#include "Pump.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using api::NetworkError;

namespace {

class LogInViewModelTest : public ::testing::Test {
  protected:
    LogInViewModelTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/login-%1.ini").arg(counter++)),
          model(std::make_shared<api::SignInRepository>(gateway), defaults) {}
    static inline int counter = 0;
    std::shared_ptr<FakeGateway> gateway = std::make_shared<FakeGateway>();
    platform::DefaultsStore defaults;
    app::LogInViewModel model;
};

}  // namespace

TEST_F(LogInViewModelTest, ASuccessfulSignInStoresTheSessionBeforeAnnouncingIt) {
    model.setUserName(QStringLiteral(" trader "));
    model.setPassword(QStringLiteral("secret"));
    std::optional<std::string> cookieWhenLoggedIn;
    QObject::connect(&model, &app::LogInViewModel::isLoggedInChanged,
                     [&] { cookieWhenLoggedIn = defaults.string("cookie"); });
    model.login();
    ASSERT_TRUE(pumpUntil([&] { return model.isLoggedIn(); }));
    EXPECT_EQ(cookieWhenLoggedIn, "c=1");
    EXPECT_EQ(defaults.string("userID"), "7");
    EXPECT_EQ(model.responseStatus(), QStringLiteral("success"));
    EXPECT_TRUE(model.shouldNavigateToStartRecording());
    EXPECT_FALSE(model.isLoging());
    EXPECT_FALSE(model.haveError());
    ASSERT_EQ(gateway->sent.size(), 1u);
    EXPECT_EQ(api::Json::parse(*gateway->sent[0].body),
              api::Json({{"username", " trader "}, {"password", "secret"}}))
        << "sent as typed, blanks included";
}

TEST_F(LogInViewModelTest, EveryFailureReadsAsWrongCredentialsAndRaisesTheAlertAgain) {
    defaults.setString("cookie", "earlier");
    gateway->reply = std::unexpected(NetworkError::noConnection());
    int alerts = 0;
    QObject::connect(&model, &app::LogInViewModel::haveErrorChanged,
                     [&] { alerts += model.haveError() ? 1 : 0; });
    model.login();
    ASSERT_TRUE(pumpUntil([&] { return model.haveError(); }));
    EXPECT_EQ(model.errorMessage(), QStringLiteral("Wrong credentials"));
    EXPECT_EQ(model.uploadError(), NetworkError::noConnection());
    EXPECT_FALSE(model.isLoggedIn());
    EXPECT_FALSE(model.isLoging());
    EXPECT_EQ(defaults.string("cookie"), "earlier") << "a failed sign-in keeps the stored session";

    // A reply without its expiry does not decode: a failure like any other.
    gateway->reply = api::Bytes(R"({"user_id":"7","cookie":"c=1"})");
    model.login();
    ASSERT_TRUE(pumpUntil([&] { return alerts == 2; }));
    EXPECT_EQ(model.uploadError()->kind(), NetworkError::Case::custom);
    EXPECT_EQ(model.errorMessage(), QStringLiteral("Wrong credentials"));
    EXPECT_TRUE(model.responseStatus().isEmpty());
}

// Against the real gateway and a server on loopback: a reply whose cookie would add a header line
// to every later request signs nobody in and leaves the store as it was.
TEST(LogInViewModelReplyTest, ACookieWithALineBreakStoresNothing) {
    TestHttpServer web;
    web.on("POST", "/api/sagevane/auth", [](const RecordedRequest&, httplib::Response& res) {
        res.set_content(
            R"({"user_id":"7","cookie":"sessionid=abc\r\nX-Injected: 1","expires_in":3600})",
            "application/json");
    });
    platform::DefaultsStore defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                                     QStringLiteral("/login-hostile.ini"));
    app::LogInViewModel model(
        std::make_shared<api::SignInRepository>(
            api::NetworkingGateway::create(api::HttpClient::shared(), web.baseURL() + "/api", "",
                                           {std::make_shared<api::MainNetworkAdapter>()},
                                           std::make_shared<FixedReachability>(true))),
        defaults);
    model.setUserName(QStringLiteral("trader"));
    model.setPassword(QStringLiteral("korvane"));
    model.login();
    ASSERT_TRUE(pumpUntil([&] { return model.haveError(); }));
    EXPECT_FALSE(model.isLoggedIn());
    EXPECT_EQ(model.uploadError()->kind(), NetworkError::Case::custom);
    EXPECT_FALSE(defaults.string("cookie"));
    EXPECT_FALSE(defaults.string("userID"));
    EXPECT_EQ(web.requestCount(), 1u);
}
