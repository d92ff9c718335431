#include "desktop/ContentPickerModel.h"
#include "desktop/DesktopContentSharingPicker.h"
#include "platform/MainQueue.h"

#include "FindItem.h"
#include "Pump.h"

#include <QGuiApplication>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

using desktop::ContentPickerModel;
using desktop::DesktopContentSharingPicker;
using platform::CaptureError;
using platform::ContentFilter;
using platform::Rect;
using platform::ShareableDisplay;
using platform::ShareableWindow;
using Mode = platform::ContentSharingPicker::Mode;

namespace {

class FakeWindowServer final : public platform::WindowServer {
  public:
    std::vector<ShareableDisplay> displayList;
    std::vector<ShareableWindow> windowList;

    std::vector<ShareableDisplay> displays() const override { return displayList; }
    std::vector<ShareableWindow> windows() const override { return windowList; }
    std::optional<Rect> windowBounds(std::uint32_t id) const override {
        auto it = std::ranges::find(windowList, id, &ShareableWindow::windowID);
        return it == windowList.end() ? std::nullopt : std::optional(it->frame);
    }
    std::optional<Rect> displayBounds(std::uint32_t id) const override {
        auto it = std::ranges::find(displayList, id, &ShareableDisplay::displayID);
        return it == displayList.end() ? std::nullopt : std::optional(it->frame);
    }
    std::vector<Rect> screenFrames() const override { return {}; }
};

std::shared_ptr<FakeWindowServer> desk() {
    auto server = std::make_shared<FakeWindowServer>();
    server->displayList = {{1, "HDMI-1", {0, 0, 1920, 1080}}, {2, "DP-2", {1920, 0, 2560, 1440}}};
    server->windowList = {{0x400001, "EURUSD chart", "TradingStation", {100, 80, 1200, 800}},
                          {0x400002, std::nullopt, "xterm", {40, 40, 640, 480}},
                          {0x400003, "  ", std::nullopt, {0, 0, 300, 200}}};
    return server;
}

// Counts into a tally that outlives it, so a test can see that a destroyed observer heard nothing.
struct Tally {
    int cancels = 0;
    std::vector<ContentFilter> updates;
    std::vector<CaptureError> failures;
    bool offMainThread = false;
    int total() const { return cancels + int(updates.size()) + int(failures.size()); }
};

class Observer final : public platform::ContentSharingPickerObserver {
  public:
    explicit Observer(std::shared_ptr<Tally> tally) : m_tally(std::move(tally)) {}
    void contentSharingPickerDidCancel() override { heard().cancels++; }
    void contentSharingPickerDidUpdate(const ContentFilter& f) override {
        heard().updates.push_back(f);
    }
    void contentSharingPickerStartDidFail(const CaptureError& e) override {
        heard().failures.push_back(e);
    }

  private:
    Tally& heard() {
        m_tally->offMainThread |= !platform::MainQueue::isMainThread();
        return *m_tally;
    }
    std::shared_ptr<Tally> m_tally;
};

QString text(const ContentPickerModel& model, int row, int role) {
    return model.data(model.index(row), role).toString();
}

TEST(ContentPickerModelTest, ListsOnlyTheModesContentWithItsLabels) {
    auto server = desk();
    ContentPickerModel model;
    model.begin(Mode::singleDisplay, server);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(text(model, 0, ContentPickerModel::NameRole), "HDMI-1");
    EXPECT_EQ(text(model, 1, ContentPickerModel::DetailRole), QString::fromUtf8("2560 × 1440"));

    model.begin(Mode::singleWindow, server);
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(text(model, 0, ContentPickerModel::NameRole), "EURUSD chart");
    EXPECT_EQ(text(model, 0, ContentPickerModel::DetailRole), "TradingStation");
    EXPECT_EQ(text(model, 1, ContentPickerModel::NameRole), "Untitled window");
    EXPECT_EQ(text(model, 2, ContentPickerModel::NameRole), "Untitled window") << "blank title";
    EXPECT_EQ(text(model, 2, ContentPickerModel::DetailRole), "");
    EXPECT_FALSE(model.isEmpty());

    server->windowList.clear();
    model.begin(Mode::singleWindow, server);
    EXPECT_TRUE(model.isEmpty());
    EXPECT_EQ(model.emptyText(), "Nothing to share");
    EXPECT_EQ(model.title(), "Choose what to record");
}

TEST(ContentPickerModelTest, SharingAnswersOnceWithTheSelectionWhereItIsNow) {
    auto server = desk();
    auto tally = std::make_shared<Tally>();
    auto observer = std::make_shared<Observer>(tally);
    ContentPickerModel model;
    model.addObserver(observer);
    int finished = 0;
    QObject::connect(&model, &ContentPickerModel::finished, [&] { ++finished; });

    model.begin(Mode::singleWindow, server);
    model.share();
    model.select(7);
    EXPECT_FALSE(model.canShare());
    model.select(1);
    EXPECT_TRUE(model.canShare());
    server->windowList[1].frame = {60, 50, 640, 480};  // moved while the picker was open
    model.share();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(tally->total(), 0) << "observers never hear inside the view's click handler";
    ASSERT_TRUE(pumpUntil([&] { return tally->updates.size() == 1; }));
    const ContentFilter& filter = tally->updates[0];
    EXPECT_EQ(
        filter.includedWindows,
        (std::vector<ShareableWindow>{{0x400002, std::nullopt, "xterm", {60, 50, 640, 480}}}));
    EXPECT_TRUE(filter.includedDisplays.empty());
    EXPECT_EQ(filter.contentRect, (Rect{60, 50, 640, 480}));

    model.cancel();  // the window closing after the answer
    model.begin(Mode::singleDisplay, server);
    EXPECT_EQ(model.selectedIndex(), -1);
    model.select(1);
    model.share();
    ASSERT_TRUE(pumpUntil([&] { return tally->updates.size() == 2; }));
    EXPECT_EQ(tally->updates[1].includedDisplays, (std::vector{server->displayList[1]}));
    EXPECT_TRUE(tally->updates[1].includedWindows.empty());
    EXPECT_EQ(tally->updates[1].contentRect, (Rect{1920, 0, 2560, 1440}));
    EXPECT_EQ(tally->cancels, 0);
    EXPECT_FALSE(tally->offMainThread);
}

TEST(ContentPickerModelTest, CancelReachesEachLiveObserverOnceAndDismissReachesNone) {
    auto kept = std::make_shared<Tally>();
    auto gone = std::make_shared<Tally>();
    auto keptObserver = std::make_shared<Observer>(kept);
    auto goneObserver = std::make_shared<Observer>(gone);
    ContentPickerModel model;
    for (int i = 0; i < 3; ++i) {
        model.addObserver(keptObserver);
    }
    model.addObserver(goneObserver);
    model.begin(Mode::singleWindow, desk());
    model.select(0);
    model.cancel();
    goneObserver.reset();
    ASSERT_TRUE(pumpUntil([&] { return kept->cancels == 1; }));
    EXPECT_EQ(gone->total(), 0) << "held weakly: a destroyed observer hears nothing";

    model.begin(Mode::singleWindow, desk());
    model.dismiss();
    model.share();
    model.cancel();
    pumpFor(30);
    EXPECT_EQ(kept->total(), 1);
}

TEST(ContentPickerTest, FailsToStartWithoutAWindowServer) {
    auto tally = std::make_shared<Tally>();
    auto observer = std::make_shared<Observer>(tally);
    DesktopContentSharingPicker picker(nullptr);
    picker.addObserver(observer);
    picker.present();
    ASSERT_TRUE(pumpUntil([&] { return tally->failures.size() == 1; }));
    EXPECT_EQ(tally->failures[0].domain, "ContentSharingPicker");
    EXPECT_EQ(tally->failures[0].code, DesktopContentSharingPicker::noDisplay);
    EXPECT_EQ(tally->failures[0].localizedDescription, "No display to pick from");
}

QQuickWindow* pickerWindow() {
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->isVisible() && window->title() == "Choose what to record") {
            return qobject_cast<QQuickWindow*>(window);
        }
    }
    return nullptr;
}

void click(QQuickWindow* window, const char* objectName) {
    QQuickItem* item = findItem(window->contentItem(), QString::fromLatin1(objectName));
    ASSERT_TRUE(item) << objectName;
    const QPointF centre = item->mapToScene({item->width() / 2, item->height() / 2});
    QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
}

TEST(ContentPickerTest, ShowsItsWindowAndAnswersFromIt) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        GTEST_SKIP() << "no X display: run under the virtual desktop (scripts/test.sh)";
    }
    auto server = std::make_shared<FakeWindowServer>();
    server->displayList = {{7, "screen", {0, 0, 1920, 1080}}};
    auto tally = std::make_shared<Tally>();
    auto observer = std::make_shared<Observer>(tally);
    DesktopContentSharingPicker picker(server);
    picker.setConfiguration({Mode::singleDisplay, false});
    picker.addObserver(observer);

    picker.present();
    QPointer<QQuickWindow> window;
    ASSERT_TRUE(pumpUntil([&] { return (window = pickerWindow()) && window->isExposed(); }));
    auto* model = qobject_cast<ContentPickerModel*>(window->property("picker").value<QObject*>());
    ASSERT_TRUE(model);
    EXPECT_TRUE(pumpUntil([&] {
        return !text(*model, 0, ContentPickerModel::ThumbnailRole).isEmpty();
    })) << "the display's thumbnail was grabbed";
    click(window, "card0");
    ASSERT_TRUE(pumpUntil([&] { return model->selectedIndex() == 0; }));
    click(window, "shareButton");
    ASSERT_TRUE(pumpUntil([&] { return tally->updates.size() == 1; }));
    EXPECT_EQ(tally->updates[0].includedDisplays, server->displayList);
    EXPECT_TRUE(pumpUntil([&] { return !window; })) << "the window goes after the answer";

    picker.present();
    ASSERT_TRUE(pumpUntil([&] { return (window = pickerWindow()) != nullptr; }));
    window->close();  // as the window manager's close button does
    ASSERT_TRUE(pumpUntil([&] { return tally->cancels == 1; }));

    picker.present();
    ASSERT_TRUE(pumpUntil([&] { return (window = pickerWindow()) != nullptr; }));
    picker.setActive(false);
    EXPECT_TRUE(pumpUntil([&] { return !window; }));
    pumpFor(30);
    EXPECT_EQ(tally->total(), 2) << "deactivating closes without an answer";
}

}  // namespace
