#include "LaunchViewModel.h"

#include "Await.h"
#include "FakeGateway.h"
#include "FakeRouter.h"
#include "Pump.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace std::chrono_literals;

namespace {

class LaunchFlowTest : public ::testing::Test {
  protected:
    LaunchFlowTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/launch-%1.ini").arg(counter++)),
          viewModel(std::make_shared<api::SignInRepository>(gateway), defaults),
          flow(viewModel, reachability, router, defaults) {
        flow.minimumSplashDuration = 300ms;
        router.onOpen = [this](const QString&) {
            cookieAtOpen = defaults.string("cookie");
            openedAfter = std::chrono::steady_clock::now() - started;
        };
    }
    void store(const std::string& cookie, const std::string& user) {
        defaults.setString("cookie", cookie);
        defaults.setString("userID", user);
    }
    void appear() {
        started = std::chrono::steady_clock::now();
        flow.onAppear();
    }
    bool decided() const { return events.size() >= 2; }

    static inline int counter = 0;
    std::shared_ptr<FakeGateway> gateway = std::make_shared<FakeGateway>();
    std::shared_ptr<FixedReachability> reachability = std::make_shared<FixedReachability>(true);
    platform::DefaultsStore defaults;
    app::LaunchViewModel viewModel;
    FakeRouter router;
    std::vector<std::string>& events = router.events;
    std::optional<std::string> cookieAtOpen;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::duration openedAfter{};
    app::LaunchFlow flow;
};

}  // namespace

TEST_F(LaunchFlowTest, WithoutNetworkSignInOpensAtOnceAndTheSessionStays) {
    store("c=1", "7");
    reachability->set(false);
    appear();
    EXPECT_EQ(events,
              (std::vector<std::string>{"dismiss LaunchViewGroup", "open LoginWindowGroup"}))
        << "decided at once, without the minimum display time";
    EXPECT_TRUE(gateway->sent.empty());
    EXPECT_EQ(defaults.string("cookie"), "c=1");
}

TEST_F(LaunchFlowTest, AValidSessionOpensTheMainWindowAfterTheMinimumTime) {
    store("c=1", "7");
    gateway->delay = 50ms;
    gateway->reply = api::Bytes(R"({"user_id":"7"})");
    appear();
    ASSERT_TRUE(pumpUntil([&] { return decided(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"page startSession", "dismiss LaunchViewGroup",
                                                "open KVWindowGroup"}));
    EXPECT_GE(openedAfter, 300ms) << "the launch window stays for the minimum time";
    EXPECT_TRUE(viewModel.validUser());
    EXPECT_EQ(viewModel.responseStatus(), QStringLiteral("success"));
    ASSERT_EQ(gateway->sent.size(), 1u);
    EXPECT_EQ(gateway->sent[0].headers->value("Cookie"), "c=1");
}

TEST_F(LaunchFlowTest, ARefusedSessionIsForgottenBeforeSignInOpens) {
    store("c=old", "7");
    gateway->reply = std::unexpected(api::NetworkError::unknownCode(401));
    appear();
    ASSERT_TRUE(pumpUntil([&] { return decided(); }));
    EXPECT_EQ(events,
              (std::vector<std::string>{"dismiss LaunchViewGroup", "open LoginWindowGroup"}));
    EXPECT_FALSE(cookieAtOpen.has_value()) << "removed before the sign-in window opens";
    EXPECT_FALSE(defaults.string("userID").has_value());
    EXPECT_EQ(viewModel.uploadError(), api::NetworkError::unknownCode(401));
    EXPECT_FALSE(viewModel.validUser());
}

TEST_F(LaunchFlowTest, AnIncompleteStoredSessionSendsNothing) {
    store("c=1", "");
    appear();
    ASSERT_TRUE(pumpUntil([&] { return decided(); }));
    EXPECT_EQ(events.back(), "open LoginWindowGroup");
    EXPECT_GE(openedAfter, 300ms);
    EXPECT_TRUE(gateway->sent.empty());
    EXPECT_EQ(defaults.string("cookie"), "c=1") << "nothing was refused, nothing is removed";
}

TEST_F(LaunchFlowTest, ValidationAnswersExactlyOnce) {
    store("c=1", "7");
    int answers = 0;
    viewModel.validateUser([&](bool) { ++answers; });
    ASSERT_TRUE(pumpUntil([&] { return answers > 0; }));
    pumpFor(20);
    EXPECT_EQ(answers, 1);
}
