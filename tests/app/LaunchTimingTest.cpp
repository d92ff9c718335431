#include "KorvaneComposition.h"
#include "LaunchViewModel.h"

#include "Await.h"
#include "FakeRouter.h"
#include "Pump.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The launch decision with the real minimum display time, against a web API on loopback that
// takes its time to validate the stored session.
std::chrono::steady_clock::duration decisionTimeWithValidationTaking(
    std::chrono::milliseconds validation, std::vector<std::string>& events) {
    TestHttpServer web;
    web.on("POST", "/api/sagevane/login",
           [validation](const RecordedRequest&, httplib::Response& res) {
               std::this_thread::sleep_for(validation);
               res.set_content(R"({"user_id":"7"})", "application/json");
           });
    static int run = 0;
    platform::DefaultsStore defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                                     QStringLiteral("/timing-%1.ini").arg(run++));
    defaults.setString("cookie", "sessionid=1");
    defaults.setString("userID", "7");
    app::AppConfiguration configuration;
    configuration.webBaseURL = web.baseURL();
    auto reachability = std::make_shared<FixedReachability>(true);
    app::KorvaneComposition composition(configuration, api::HttpClient::shared(), reachability, {},
                                        defaults);
    app::LaunchViewModel viewModel(composition.makeSignInRepository(), defaults);
    std::chrono::steady_clock::time_point decided{};
    FakeRouter router;
    router.onOpen = [&](const QString&) { decided = std::chrono::steady_clock::now(); };
    app::LaunchFlow flow(viewModel, reachability, router, defaults);
    const auto started = std::chrono::steady_clock::now();
    flow.onAppear();
    EXPECT_TRUE(pumpUntil([&] { return router.events.size() == 3; }, 8000));
    events = router.events;
    return decided - started;
}

}  // namespace

TEST(LaunchTimingTest, TheLaunchWindowStaysThreeSecondsButNeverWaitsLongerThanTheValidation) {
    std::vector<std::string> quick;
    const auto afterQuick = decisionTimeWithValidationTaking(1200ms, quick);
    EXPECT_EQ(quick, (std::vector<std::string>{"page startSession", "dismiss LaunchViewGroup",
                                               "open KVWindowGroup"}));
    EXPECT_GE(afterQuick, 2950ms) << "a quick answer still leaves the launch window up for 3 s";
    EXPECT_LT(afterQuick, 3900ms);

    std::vector<std::string> slow;
    const auto afterSlow = decisionTimeWithValidationTaking(4000ms, slow);
    EXPECT_EQ(slow.back(), "open KVWindowGroup");
    EXPECT_GE(afterSlow, 4000ms);
    EXPECT_LT(afterSlow, 4900ms) << "a slow answer is acted on at once, the 3 s are not added";
}
