#include "SourcePickerScene.h"

#include "FakeRouter.h"
#include "FindItem.h"
#include "NotifyAudit.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "SetupQml.h"

#include "desktop/AppResources.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>

#include <memory>
#include <string>
#include <vector>

namespace {

using recording::SelectedContentInfo;
using setup::SourcePickerScene;

platform::ContentFilter windowFilter(std::uint32_t id, std::optional<std::string> title,
                                     std::optional<std::string> application) {
    platform::ContentFilter filter;
    filter.includedWindows.push_back(
        {id, std::move(title), std::move(application), {0, 0, 800, 600}});
    return filter;
}

platform::ContentFilter displayFilter(std::uint32_t id) {
    platform::ContentFilter filter;
    filter.includedDisplays.push_back({id, "screen", {0, 0, 1920, 1080}});
    return filter;
}

// Every "SourcePickerDidSelect" posted while it lives, as its "selectedSource" value.
struct DidSelectLog {
    DidSelectLog() {
        token = center.addObserver(
            QString::fromLatin1(desktop::notifications::sourcePickerDidSelect),
            [this](const QVariantMap& info) {
                posted.push_back(
                    info.value(QStringLiteral("selectedSource")).toString().toStdString());
            });
    }
    ~DidSelectLog() { center.removeObserver(token); }
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    platform::NotificationCenter::Token token = 0;
    std::vector<std::string> posted;
};

// A panel opened over a recorder that may hold a choice already.
struct Picker {
    explicit Picker(std::optional<platform::ContentFilter> held = std::nullopt) {
        rig.build();
        if (held) {
            rig.recorder->capture().applyPickerFilter(*held);
        }
        scene = std::make_unique<SourcePickerScene>(router, rig.recorder);
    }
    fakes::Rig rig;
    FakeRouter router;
    std::unique_ptr<SourcePickerScene> scene;
};

bool dismissed(const FakeRouter& router) {
    return std::ranges::find(router.events, std::string("dismiss SourcePickerWindow")) !=
           router.events.end();
}

TEST(SourcePickerSceneTest, LabelDescribesTheChosenContent) {
    SelectedContentInfo titled{
        SelectedContentInfo::Kind::window, "Chart <b>EURUSD</b>", "trader-app", 42, {}};
    EXPECT_EQ(setup::selectionTitle(titled), QStringLiteral("Chart <b>EURUSD</b>"));
    EXPECT_EQ(setup::selectionSymbol(titled), QStringLiteral("macwindow"));

    SelectedContentInfo untitled{SelectedContentInfo::Kind::window, "", "trader-app", 42, {}};
    EXPECT_EQ(setup::selectionTitle(untitled), QStringLiteral("Window (trader-app)"));
    untitled.bundleIdentifier.reset();
    EXPECT_EQ(setup::selectionTitle(untitled), QStringLiteral("Window"));

    SelectedContentInfo display{SelectedContentInfo::Kind::display, {}, {}, {}, 7};
    EXPECT_EQ(setup::selectionTitle(display), QStringLiteral("Display #7"));
    EXPECT_EQ(setup::selectionSymbol(display), QStringLiteral("display"));
    display.displayID.reset();
    EXPECT_EQ(setup::selectionTitle(display), QStringLiteral("Display"));

    const SelectedContentInfo unknown{};
    EXPECT_EQ(setup::selectionTitle(unknown), QStringLiteral("Selection"));
    EXPECT_EQ(setup::selectionSymbol(unknown), QStringLiteral("questionmark.circle"));
    EXPECT_EQ(setup::selectedSourceFor(unknown), std::nullopt);
    EXPECT_EQ(setup::selectedSourceFor(std::nullopt), std::nullopt);
}

TEST(SourcePickerSceneTest, OpeningMarksTheHeldChoiceWithoutPosting) {
    DidSelectLog log;
    Picker p;
    EXPECT_FALSE(p.scene->hasSelection());
    p.scene->onAppear();
    EXPECT_FALSE(p.scene->fullScreenMarked());
    EXPECT_FALSE(p.scene->specificWindowMarked());

    Picker withWindow(windowFilter(42, "Chart", "trader-app"));
    withWindow.scene->onAppear();
    EXPECT_TRUE(withWindow.scene->hasSelection());
    EXPECT_EQ(withWindow.scene->selectionTitleText(), QStringLiteral("Chart"));
    EXPECT_TRUE(withWindow.scene->specificWindowMarked());
    EXPECT_TRUE(withWindow.scene->specificWindowHighlighted());
    EXPECT_FALSE(withWindow.scene->fullScreenHighlighted());

    Picker withDisplay(displayFilter(7));
    withDisplay.scene->onAppear();
    EXPECT_EQ(withDisplay.scene->selectionTitleText(), QStringLiteral("Display #7"));
    EXPECT_TRUE(withDisplay.scene->fullScreenMarked());

    // Something the picker could not name: labelled, but no card is marked.
    Picker withUnknown{platform::ContentFilter{}};
    withUnknown.scene->onAppear();
    EXPECT_TRUE(withUnknown.scene->hasSelection());
    EXPECT_EQ(withUnknown.scene->selectionTitleText(), QStringLiteral("Selection"));
    EXPECT_EQ(withUnknown.scene->selectionSymbolName(), QStringLiteral("questionmark.circle"));
    EXPECT_FALSE(withUnknown.scene->fullScreenMarked());
    EXPECT_FALSE(withUnknown.scene->specificWindowMarked());

    pumpFor(500);
    EXPECT_TRUE(log.posted.empty());
    EXPECT_FALSE(dismissed(withWindow.router));
    EXPECT_FALSE(dismissed(withDisplay.router));
}

TEST(SourcePickerSceneTest, OneChoicePostsOnClickAndOnArrivalThenCloses) {
    DidSelectLog log;
    Picker p;
    p.scene->onAppear();

    p.scene->chooseSpecificWindow();
    EXPECT_EQ(p.rig.picker->presented, 1);
    EXPECT_EQ(p.rig.picker->configuration.allowedPickerModes,
              platform::ContentSharingPicker::Mode::singleWindow);
    EXPECT_TRUE(p.scene->specificWindowMarked());
    EXPECT_EQ(log.posted, (std::vector<std::string>{"specificWindow"}));

    // The trader changed their mind in the system picker: the arrival says what was chosen.
    p.rig.recorder->capture().applyPickerFilter(displayFilter(7));
    EXPECT_EQ(log.posted, (std::vector<std::string>{"specificWindow", "fullScreen"}));
    EXPECT_TRUE(p.scene->fullScreenMarked());
    EXPECT_FALSE(p.scene->specificWindowMarked());
    EXPECT_EQ(p.scene->selectionTitleText(), QStringLiteral("Display #7"));
    EXPECT_FALSE(dismissed(p.router));  // not at once
    EXPECT_TRUE(pumpUntil([&] { return dismissed(p.router); }));
    EXPECT_EQ(std::ranges::count(p.router.events, std::string("dismiss SourcePickerWindow")), 1);
}

TEST(SourcePickerSceneTest, FullScreenCardAsksForOneDisplay) {
    Picker p;
    p.scene->chooseFullScreen();
    EXPECT_EQ(p.rig.picker->configuration.allowedPickerModes,
              platform::ContentSharingPicker::Mode::singleDisplay);
    EXPECT_TRUE(p.scene->fullScreenMarked());
}

TEST(SourcePickerSceneTest, OnlyARealChangeCountsAsAChoice) {
    Picker p(windowFilter(42, "Chart", "trader-app"));
    p.scene->onAppear();
    DidSelectLog log;

    // The same window again: nothing new, nothing posted, the panel stays.
    p.rig.recorder->capture().applyPickerFilter(windowFilter(42, "Chart", "trader-app"));
    pumpFor(500);
    EXPECT_TRUE(log.posted.empty());
    EXPECT_FALSE(dismissed(p.router));

    // Cleared: the mark goes, nothing is posted, the panel stays for a new choice.
    p.rig.recorder->clearSelection();
    EXPECT_FALSE(p.scene->specificWindowMarked());
    EXPECT_FALSE(p.scene->hasSelection());
    pumpFor(500);
    EXPECT_TRUE(log.posted.empty());
    EXPECT_FALSE(dismissed(p.router));
}

TEST(SourcePickerSceneTest, ClosingPostsNothing) {
    DidSelectLog log;
    Picker p;
    p.scene->close();
    EXPECT_EQ(p.router.events, (std::vector<std::string>{"dismiss SourcePickerWindow"}));
    EXPECT_TRUE(log.posted.empty());
}

TEST(SourcePickerSceneTest, DelayedCloseDoesNothingOnceThePanelIsGone) {
    Picker p;
    p.rig.recorder->capture().applyPickerFilter(displayFilter(7));
    p.scene.reset();
    pumpFor(500);
    EXPECT_TRUE(p.router.events.empty());
}

// The panel's QML window over a scene, as the application shows it.
struct PickerView {
    explicit PickerView(SourcePickerScene& scene) {
        prepareSetupEngine(engine);
        QObject::connect(&engine, &QQmlEngine::warnings, [this](const QList<QQmlError>& errors) {
            for (const auto& error : errors) {
                warnings.append(error.toString());
            }
        });
        QQmlComponent component(
            &engine, QUrl(QStringLiteral("qrc:/qt/qml/Korvane/Setup/qml/SourcePickerWindow.qml")));
        made.reset(component.createWithInitialProperties(
            {{"model", QVariant::fromValue<QObject*>(&scene)}}));
        window = qobject_cast<QQuickWindow*>(made.get());
        EXPECT_NE(window, nullptr) << component.errorString().toStdString();
    }
    QQuickItem* item(const char* name) const {
        QQuickItem* found = findItem(window->contentItem(), QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // The colour the trader sees around a card: green when it is highlighted.
    std::string border(const char* card) const {
        return QQmlProperty::read(findItem(item(card), QStringLiteral("face")), "border.color")
            .value<QColor>()
            .name()
            .toStdString();
    }
    bool labelShown() const { return item("selectionLabel")->isVisible(); }
    QQmlEngine engine;
    QStringList warnings;
    std::unique_ptr<QObject> made;
    QQuickWindow* window = nullptr;
};

// Every notify signal the panel's view binds, counted.
struct ViewSignals {
    explicit ViewSignals(SourcePickerScene* scene)
        : selection(scene, &SourcePickerScene::selectionChanged),
          marks(scene, &SourcePickerScene::selectedSourceChanged),
          fullScreen(scene, &SourcePickerScene::fullScreenHighlightedChanged),
          specificWindow(scene, &SourcePickerScene::specificWindowHighlightedChanged) {}
    QSignalSpy selection;
    QSignalSpy marks;
    QSignalSpy fullScreen;
    QSignalSpy specificWindow;
};

TEST(SourcePickerSceneTest, CardsTurnGreenUnderThePointerAndOnceChosen) {
    const std::string green =
        desktop::AppResources::color(QStringLiteral("application_green")).name().toStdString();
    const std::string idle =
        desktop::AppResources::color(QStringLiteral("light_black")).name().toStdString();
    Picker p;
    PickerView view(*p.scene);
    ASSERT_TRUE(view.window);
    ViewSignals heard(p.scene.get());
    NotifyAudit audit(p.scene.get());
    EXPECT_EQ(view.border("fullScreenCard"), idle);

    p.scene->setHoveringFullScreen(true);
    EXPECT_EQ(heard.fullScreen.count(), 1);
    EXPECT_EQ(view.border("fullScreenCard"), green);
    EXPECT_EQ(view.border("specificWindowCard"), idle);
    p.scene->setHoveringFullScreen(true);  // no change, nothing to tell
    EXPECT_EQ(heard.fullScreen.count(), 1);
    p.scene->setHoveringFullScreen(false);
    EXPECT_EQ(heard.fullScreen.count(), 2);
    EXPECT_EQ(view.border("fullScreenCard"), idle);

    // The mark keeps the card green when the pointer leaves; hovering over it changes nothing.
    p.scene->chooseSpecificWindow();
    EXPECT_EQ(heard.marks.count(), 1);
    EXPECT_EQ(heard.specificWindow.count(), 1);
    EXPECT_EQ(view.border("specificWindowCard"), green);
    EXPECT_TRUE(findItem(view.item("specificWindowCard"), "checkmark")->isVisible());
    p.scene->setHoveringSpecificWindow(true);
    p.scene->setHoveringSpecificWindow(false);
    EXPECT_EQ(heard.specificWindow.count(), 1);
    EXPECT_EQ(view.border("specificWindowCard"), green);

    // The recorder's choice moves the mark: one card goes idle, the other green, the label shows.
    EXPECT_FALSE(view.labelShown());
    p.rig.recorder->capture().applyPickerFilter(displayFilter(7));
    EXPECT_EQ(heard.selection.count(), 1);
    EXPECT_EQ(heard.specificWindow.count(), 2);
    EXPECT_EQ(heard.fullScreen.count(), 3);
    EXPECT_EQ(view.border("fullScreenCard"), green);
    EXPECT_EQ(view.border("specificWindowCard"), idle);
    EXPECT_TRUE(view.labelShown());
    const QPointF label = view.item("selectionLabel")->mapToScene({0, 0});
    EXPECT_EQ(label.x(), 18);
    EXPECT_EQ(label.y(), view.item("closeButton")->mapToScene({0, 0}).y())
        << "level with the close button";

    // Cleared while the pointer is over the marked card: the mark goes, the hover keeps it green.
    p.scene->setHoveringFullScreen(true);
    p.rig.recorder->clearSelection();
    EXPECT_EQ(heard.fullScreen.count(), 3);
    EXPECT_EQ(view.border("fullScreenCard"), green);
    EXPECT_FALSE(findItem(view.item("fullScreenCard"), "checkmark")->isVisible());
    EXPECT_FALSE(view.labelShown());
    EXPECT_EQ(audit.silentChanges(), "");
    EXPECT_TRUE(view.warnings.isEmpty()) << view.warnings.join('\n').toStdString();
}

TEST(SourcePickerSceneTest, PanelSitsBesideTheMainWindow) {
    // A main window at (100, 50) of 1400 x 900: right edge 1500, bottom edge 950.
    EXPECT_EQ(SourcePickerScene::panelFrame({100, 50, 1400, 900}, 378, 280),
              (platform::Rect{1500 - 378 - 425, 950 - 120 - 280, 378, 280}));

    Picker p;
    QQuickWindow main;
    QQuickWindow panel;
    desktop::setWindowFrame(main, {100, 50, 1400, 900});
    desktop::setWindowFrame(panel, {0, 0, 378, 280});
    p.router.windows.insert(QStringLiteral("KVWindowGroup"), &main);
    p.router.windows.insert(QStringLiteral("SourcePickerWindow"), &panel);
    p.scene->onAppear();
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(panel).x == 697; }));
    EXPECT_EQ(desktop::windowFrame(panel), (platform::Rect{697, 550, 378, 280}));
}

}  // namespace
