#include "KorvaneComposition.h"
#include "Requests.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(KorvaneCompositionTest, SignInGoesToTheWebApiAndTheRecorderIsBuiltOnce) {
    TestHttpServer web;
    web.on("POST", "/api/sagevane/auth", [](const RecordedRequest&, httplib::Response& res) {
        res.set_content(R"({"user_id":"7","cookie":"c","expires_in":1})", "application/json");
    });
    app::AppConfiguration configuration;
    configuration.webBaseURL = web.baseURL();
    configuration.recordingApiBaseURL = "http://127.0.0.1:9";
    platform::DefaultsStore defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                                     "/composition.ini");
    int environmentsMade = 0;
    app::KorvaneComposition composition(
        configuration, api::HttpClient::shared(), std::make_shared<FixedReachability>(true),
        [&] {
            ++environmentsMade;
            recording::RecorderEnvironment environment;
            environment.defaults = &defaults;
            return environment;
        },
        defaults);

    auto first = composition.makeSignInRepository();
    auto second = composition.makeSignInRepository();
    EXPECT_NE(first->networking(), second->networking()) << "a new gateway for every view";
    auto reply = await(first->networking()->request(api::SignInRequest("u", "p")));
    ASSERT_TRUE(reply && *reply);
    EXPECT_EQ(web.requests().at(0).path, "/api/sagevane/auth");

    EXPECT_EQ(environmentsMade, 0) << "the recorder is made on first use";
    auto recorder = composition.screenRecorder();
    EXPECT_EQ(composition.screenRecorder(), recorder);
    EXPECT_EQ(environmentsMade, 1);
}
