// The reminder card: its prompt, where it goes, and that it closes itself and nothing newer.
#include "InactivityReminderScene.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "Pump.h"
#include "SessionQml.h"

#include "desktop/WindowControl.h"

#include <gtest/gtest.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>

#include <algorithm>
#include <memory>

namespace {

using session::InactivityReminderScene;
using session::InactivityReminderViewModel;

const QString kReminder = QStringLiteral("InactivityReminderWindow");

bool dismissed(const FakeRouter& router) {
    return std::ranges::count(router.events, "dismiss InactivityReminderWindow") > 0;
}

}  // namespace

TEST(InactivityReminderSceneTest, EveryWindowDrawsOneOfTheElevenPromptsAfresh) {
    const QStringList& prompts = InactivityReminderViewModel::prompts();
    ASSERT_EQ(prompts.size(), 11);
    EXPECT_EQ(prompts.at(0),
              QStringLiteral("Hey, still there? Don't forget to share what you're thinking! "));
    EXPECT_EQ(prompts.at(2), QStringLiteral("Your AI is listening \u2014 what are you seeing?"));
    EXPECT_EQ(prompts.at(5), QStringLiteral("Been a few minutes \u2014 what's on your mind? "));
    EXPECT_EQ(prompts.at(10), QStringLiteral("Continue narrating for complete session summary"));

    // Each window draws afresh; over many windows every prompt comes up.
    QSet<QString> seen;
    for (int i = 0; i < 500; ++i) {
        InactivityReminderViewModel viewModel;
        ASSERT_TRUE(prompts.contains(viewModel.prompt())) << viewModel.prompt().toStdString();
        seen.insert(viewModel.prompt());
    }
    EXPECT_EQ(seen.size(), 11);
}

TEST(InactivityReminderSceneTest, TheCardSitsInTheBottomRightCornerOfItsScreen) {
    // A 1440 x 875 visible frame 25 below the top of the desktop: 10 in from the right and bottom.
    EXPECT_EQ(InactivityReminderScene::reminderFrame({0, 25, 1440, 875}),
              (platform::Rect{1196, 25 + 875 - 10 - 134, 234, 134}));
    // Too narrow for the card: the left margin wins and the card runs past the right one.
    EXPECT_EQ(InactivityReminderScene::reminderFrame({300, 0, 200, 600}).x, 310);

    FakeRouter router;
    QQuickWindow window;
    desktop::setWindowFrame(window, {5, 5, 360, 120});
    router.windows.insert(kReminder, &window);
    InactivityReminderScene scene(router);
    scene.configureWindow(&window);
    EXPECT_EQ(window.title(), kReminder);
    scene.onAppear();
    const auto visible = desktop::visibleFrameOf(window);
    if (!visible) {
        GTEST_SKIP() << "no screen";
    }
    const auto expected = InactivityReminderScene::reminderFrame(*visible);
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(window) == expected; }));

    // A window that is not this reminder's is never moved.
    QQuickWindow other;
    desktop::setWindowFrame(other, {5, 5, 360, 120});
    router.windows.insert(kReminder, &other);
    InactivityReminderScene stale(router);
    stale.configureWindow(&window);
    stale.onAppear();
    pumpFor(300);
    EXPECT_EQ(desktop::windowFrame(other), (platform::Rect{5, 5, 360, 120}));
}

TEST(InactivityReminderSceneTest, ClosesItselfAfterFiveSecondsButNeverANewerReminder) {
    FakeRouter router;
    QQuickWindow first;
    router.windows.insert(kReminder, &first);
    InactivityReminderScene older(router);
    older.configureWindow(&first);
    older.onAppear();
    pumpFor(1000);
    EXPECT_FALSE(dismissed(router)) << "up for five seconds";

    // The bar brought up a new reminder a second later, while the old one's close was pending.
    QQuickWindow second;
    router.windows.insert(kReminder, &second);
    InactivityReminderScene newer(router);
    newer.configureWindow(&second);
    newer.onAppear();

    // The older reminder's close comes due first and must leave the newer one up.
    pumpFor(int(InactivityReminderScene::autoCloseDelay.count()) - 1000 + 500);
    EXPECT_FALSE(dismissed(router));
    EXPECT_EQ(router.window(kReminder), &second);

    // Its own close takes it away, once.
    ASSERT_TRUE(pumpUntil([&] { return dismissed(router); }, 8000));
    EXPECT_EQ(router.events, (std::vector<std::string>{"dismiss InactivityReminderWindow"}));
}

TEST(InactivityReminderSceneTest, TheViewShowsThePromptOnTwoLinesAtMost) {
    QQmlEngine engine;
    prepareSessionEngine(engine);
    QStringList warnings;
    QObject::connect(&engine, &QQmlEngine::warnings, [&](const QList<QQmlError>& errors) {
        for (const auto& error : errors) {
            warnings.append(error.toString());
        }
    });
    QQmlComponent component(
        &engine,
        QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Session/qml/InactivityReminderWindow.qml")));
    FakeRouter router;
    InactivityReminderScene scene(router);
    std::unique_ptr<QObject> made(
        component.createWithInitialProperties({{"model", QVariant::fromValue<QObject*>(&scene)}}));
    auto* window = qobject_cast<QQuickWindow*>(made.get());
    ASSERT_TRUE(window) << component.errorString().toStdString();
    EXPECT_EQ(window->size(), QSize(234, 134));
    EXPECT_EQ(window->title(), kReminder);

    QQuickItem* prompt = findItem(window->contentItem(), QStringLiteral("reminderPrompt"));
    ASSERT_TRUE(prompt);
    EXPECT_EQ(prompt->property("text").toString(), scene.viewModel()->prompt());
    EXPECT_EQ(prompt->property("maximumLineCount").toInt(), 2);
    EXPECT_LE(prompt->property("lineCount").toInt(), 2);
    EXPECT_EQ(prompt->mapToItem(window->contentItem(), QPointF(0, 0)).x(), 20);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}
