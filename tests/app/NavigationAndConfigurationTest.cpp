#include "AppConfiguration.h"
#include "Navigation.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstdlib>

using app::PagesEnum;

TEST(NavigationTest, ThePageIsPersistedAndUnknownTextReadsAsLogout) {
    const QString file = QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                         QStringLiteral("/navigation.ini");
    platform::DefaultsStore defaults(file);
    {
        app::Navigation navigation(defaults);
        EXPECT_EQ(navigation.page(), PagesEnum::logout) << "nothing stored: the sign-in page";
        QSignalSpy changes(&navigation, &app::Navigation::pageChanged);
        navigation.setPage(PagesEnum::prepareSession);
        navigation.setPage(PagesEnum::prepareSession);
        EXPECT_EQ(changes.count(), 1) << "only a real change is announced";
    }
    EXPECT_EQ(defaults.string("navigationKey"), "prepareSession");
    EXPECT_EQ(app::Navigation(defaults).page(), PagesEnum::prepareSession) << "kept across runs";

    defaults.setString("navigationKey", "somethingElse");
    EXPECT_EQ(app::Navigation(defaults).page(), PagesEnum::logout);
    EXPECT_EQ(app::pageFromRawValue(QStringLiteral("endSession")), PagesEnum::endSession);
    EXPECT_EQ(app::rawValue(PagesEnum::startSession), QStringLiteral("startSession"));
}

TEST(AppConfigurationTest, BaseAddressesComeFromTheEnvironmentOrTheStandIns) {
    ::unsetenv("KORVANE_WEB_URL");
    ::unsetenv("KORVANE_RECORDING_API_URL");
    auto defaults = app::AppConfiguration::fromEnvironment();
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->webBaseURL, "http://127.0.0.1:8080");

    ::setenv("KORVANE_WEB_URL", "https://web.example:8443/", 1);
    ::setenv("KORVANE_RECORDING_API_URL", "http://rec.example", 1);
    auto configured = app::AppConfiguration::fromEnvironment();
    ASSERT_TRUE(configured);
    EXPECT_EQ(configured->webBaseURL, "https://web.example:8443") << "no trailing slash";
    EXPECT_EQ(configured->recordingApiBaseURL, "http://rec.example");

    for (const char* bad : {"web.example", "ftp://web.example", "http://", "not a url"}) {
        ::setenv("KORVANE_WEB_URL", bad, 1);
        auto refused = app::AppConfiguration::fromEnvironment();
        ASSERT_FALSE(refused) << bad;
        EXPECT_NE(refused.error().find("KORVANE_WEB_URL"), std::string::npos)
            << "the error names the variable";
    }
    ::unsetenv("KORVANE_WEB_URL");
    ::unsetenv("KORVANE_RECORDING_API_URL");
}
