// The application's windows as QML scenes, on the offscreen platform: every scene loads without
// a single QML warning, opens and goes away, and the sign-in path runs through the real views.
#include "KorvaneApp.h"
#include "KorvaneComposition.h"
#include "Scenes.h"

#include "desktop/AppResources.h"
#include "desktop/Notifications.h"
#include "desktop/ObserverTokens.h"

#include "AppQml.h"
#include "Await.h"
#include "FindItem.h"
#include "Pump.h"
#include "RecorderFakes.h"
#include "TestHttpServer.h"

#include <QDirIterator>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace {

// Every warning Qt or the QML engine prints while it lives.
class WarningCapture {
  public:
    WarningCapture() {
        s_instance = this;
        m_previous = qInstallMessageHandler(&WarningCapture::handle);
    }
    ~WarningCapture() {
        qInstallMessageHandler(m_previous);
        s_instance = nullptr;
    }
    QStringList warnings() const {
        std::lock_guard lock(m_mutex);
        return m_warnings;
    }

  private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtDebugMsg || type == QtInfoMsg || !s_instance) {
            return;
        }
        // The offscreen platform's own notes on what it cannot do (raising a window).
        if (message.startsWith(QLatin1String("This plugin does not support"))) {
            return;
        }
        std::lock_guard lock(s_instance->m_mutex);
        s_instance->m_warnings.append(message);
    }

    static inline WarningCapture* s_instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_warnings;
};

void type(QWindow* window, const char* text) {
    for (const char* c = text; *c; ++c) {
        QTest::keyClick(window, *c);
    }
}

class ScenesTest : public ::testing::Test {
  protected:
    ScenesTest()
        : defaults(QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) +
                   QStringLiteral("/scenes-%1.ini").arg(counter++)) {
        web.on("POST", "/api/sagevane/auth",
               [](const RecordedRequest& request, httplib::Response& res) {
                   if (request.body == R"({"password":"korvane","username":"trader"})") {
                       res.set_content(
                           R"({"user_id":"7","cookie":"sessionid=abc","expires_in":3600})",
                           "application/json");
                   } else {
                       res.status = 401;
                       res.set_content(
                           R"({"status":"error","message":"Wrong credentials","error":[]})",
                           "application/json");
                   }
               });
        configuration.webBaseURL = web.baseURL();
        configuration.recordingApiBaseURL = "http://127.0.0.1:9";
        composition = std::make_unique<app::KorvaneComposition>(
            configuration, api::HttpClient::shared(), reachability,
            [this] { return rig.environment(); }, defaults);
        prepareAppEngine(engine);
        QObject::connect(&engine, &QQmlEngine::warnings, [this](const QList<QQmlError>& errors) {
            for (const auto& error : errors) {
                engineWarnings.append(error.toString());
            }
        });
        korvane = std::make_unique<app::KorvaneApp>(*composition, engine, defaults);
        korvane->router().setUrlOpener(
            [this](const QUrl& url) { openedUrls.append(url.toString()); });
    }
    ~ScenesTest() override {
        korvane.reset();
        pumpFor(10);  // windows dismissed last are deleted from the event loop
    }

    app::SceneManager& scenes() { return korvane->scenes(); }
    QQuickItem* item(const QString& scene, const char* objectName) {
        QQuickWindow* window = scenes().window(scene);
        return window ? findItem(window->contentItem(), QLatin1String(objectName)) : nullptr;
    }
    QStringList allWarnings() const { return capture.warnings() + engineWarnings; }

    static inline int counter = 0;
    WarningCapture capture;
    TestHttpServer web;
    platform::DefaultsStore defaults;
    app::AppConfiguration configuration;
    fakes::Rig rig;
    std::shared_ptr<FixedReachability> reachability = std::make_shared<FixedReachability>(false);
    std::unique_ptr<app::KorvaneComposition> composition;
    QQmlEngine engine;
    QStringList engineWarnings;
    std::unique_ptr<app::KorvaneApp> korvane;
    QStringList openedUrls;
};

}  // namespace

TEST_F(ScenesTest, EverySceneOpensWithoutWarningsAndGoesAwayWhenDismissed) {
    const QStringList identifiers = app::SceneManager::sceneIdentifiers();
    ASSERT_EQ(identifiers.size(), 9);
    // Something to record: a bar whose recording could not begin would hand over at once.
    const auto chosen = rig.windowServer->windows().front();
    composition->screenRecorder()->capture().applyPickerFilter({{chosen}, {}, chosen.frame});
    QStringList opened;
    for (const QString& id : identifiers) {
        if (id == QLatin1String("LaunchViewGroup")) {
            continue;  // decides on its own where to go; below
        }
        ASSERT_TRUE(scenes().openWindow(id)) << id.toStdString();
        opened.append(id);
        QQuickWindow* window = scenes().window(id);
        ASSERT_NE(window, nullptr) << id.toStdString();
        EXPECT_TRUE(window->isVisible());
        if (id == QLatin1String("LoginWindowGroup")) {
            EXPECT_FALSE(window->flags().testFlag(Qt::FramelessWindowHint))
                << "the sign-in window keeps its title";
            EXPECT_FALSE(window->flags().testFlag(Qt::WindowStaysOnTopHint));
            EXPECT_EQ(window->minimumSize(), QSize(400, 700));
            EXPECT_EQ(window->maximumSize(), QSize(400, 700));
        } else {
            EXPECT_TRUE(window->flags().testFlag(Qt::FramelessWindowHint)) << id.toStdString();
            EXPECT_TRUE(window->flags().testFlag(Qt::WindowStaysOnTopHint)) << id.toStdString();
            // Round cards on a clear window: a compositor shows the desktop in their corners.
            if (id != QLatin1String("Countdown")) {
                EXPECT_EQ(window->color().alpha(), 0) << id.toStdString();
                EXPECT_GT(window->requestedFormat().alphaBufferSize(), 0) << id.toStdString();
            }
        }
    }
    pumpFor(50);
    QStringList order;
    for (QQuickWindow* window : scenes().windows()) {
        order.append(scenes().identifierOf(window));
    }
    EXPECT_EQ(order, opened) << "the window list keeps the order of creation";
    EXPECT_EQ(scenes().lastWindow(), scenes().window(opened.back()));

    // Opening an open scene brings the same window forward instead of a second one.
    QQuickWindow* recordingBar = scenes().window(QStringLiteral("RecordingBarGroup"));
    EXPECT_TRUE(scenes().openWindow(QStringLiteral("RecordingBarGroup")));
    EXPECT_EQ(scenes().window(QStringLiteral("RecordingBarGroup")), recordingBar);
    EXPECT_EQ(scenes().windows().size(), opened.size());

    // Every dismissal is announced while the window is still there.
    QStringList willClose;
    desktop::ObserverTokens observers;
    observers.add(QString::fromLatin1(desktop::notifications::windowWillClose),
                  [&](const QVariantMap& userInfo) {
                      const QString id = userInfo.value(QStringLiteral("identifier")).toString();
                      if (scenes().window(id)) {
                          willClose.append(id);
                      }
                  });
    for (const QString& id : opened) {
        QPointer<QQuickWindow> window = scenes().window(id);
        scenes().dismissWindow(id);
        EXPECT_EQ(scenes().window(id), nullptr);
        EXPECT_TRUE(pumpUntil([&] { return window.isNull(); }, 1000))
            << id.toStdString() << " is destroyed";
    }
    EXPECT_TRUE(scenes().windows().isEmpty());
    EXPECT_EQ(willClose, opened);
    EXPECT_FALSE(scenes().openWindow(QStringLiteral("NoSuchWindow")));
    EXPECT_EQ(allWarnings(), QStringList{QStringLiteral("No scene named NoSuchWindow")});
}

TEST_F(ScenesTest, ClosingTheLastWindowEndsTheRunButSwitchingWindowsDoesNot) {
    int lastClosed = 0;
    QObject::connect(&scenes(), &app::SceneManager::lastWindowClosed, [&] { ++lastClosed; });
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("LoginWindowGroup")));
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("KVWindowGroup")));
    scenes().dismissWindow(QStringLiteral("KVWindowGroup"));
    pumpFor(20);
    EXPECT_EQ(lastClosed, 0) << "dismissing is the program's own step, not the user's";

    QPointer<QQuickWindow> login = scenes().window(QStringLiteral("LoginWindowGroup"));
    login->close();  // the title bar's close button
    EXPECT_TRUE(pumpUntil([&] { return login.isNull(); }, 1000));
    EXPECT_EQ(scenes().window(QStringLiteral("LoginWindowGroup")), nullptr);
    EXPECT_EQ(lastClosed, 1);
    EXPECT_TRUE(scenes().openWindow(QStringLiteral("LoginWindowGroup")))
        << "and it can be opened again";
}

TEST_F(ScenesTest, WithoutNetworkTheLaunchWindowHandsOverToSignInAtOnce) {
    defaults.setString("cookie", "sessionid=kept");
    defaults.setString("userID", "7");
    korvane->start();
    ASSERT_NE(scenes().window(QStringLiteral("LaunchViewGroup")), nullptr);
    EXPECT_TRUE(pumpUntil(
        [&] { return scenes().window(QStringLiteral("LoginWindowGroup")) != nullptr; }, 1000));
    EXPECT_EQ(scenes().window(QStringLiteral("LaunchViewGroup")), nullptr);
    EXPECT_EQ(defaults.string("cookie"), "sessionid=kept");
    EXPECT_EQ(web.requestCount(), 0u);

    // A stored session does not cover the form: it can be used straight away.
    auto* scene =
        scenes().window(QStringLiteral("LoginWindowGroup"))->findChild<app::LoginScene*>();
    ASSERT_NE(scene, nullptr);
    EXPECT_FALSE(scene->logic()->isSigningIn());
    EXPECT_EQ(scene->logic()->focusedField(), app::LoginViewLogic::Field::username);

    // The deferred sizing found the sign-in window, which keeps its fixed size.
    pumpFor(100);
    EXPECT_EQ(scenes().window(QStringLiteral("LoginWindowGroup"))->size(), QSize(400, 700));
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, TheMainWindowShowsThePageNamedByTheNavigation) {
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("KVWindowGroup")));
    const QString main = QStringLiteral("KVWindowGroup");
    EXPECT_NE(item(main, "loginPage"), nullptr) << "nothing stored: the sign-in page";
    EXPECT_EQ(scenes().window(main)->size(), QSize(400, 700));

    korvane->navigation().setPage(app::PagesEnum::prepareSession);
    EXPECT_TRUE(pumpUntil([&] { return item(main, "preparePage") != nullptr; }));
    EXPECT_EQ(item(main, "loginPage"), nullptr);
    EXPECT_EQ(defaults.string("navigationKey"), "prepareSession");

    korvane->navigation().setPage(app::PagesEnum::endSession);
    EXPECT_TRUE(pumpUntil([&] { return item(main, "startPage") != nullptr; }))
        << "the end of a session shows the start page";
    EXPECT_EQ(scenes().window(main)->size(), QSize(234, 77));

    korvane->navigation().setPage(app::PagesEnum::logout);
    EXPECT_TRUE(pumpUntil([&] { return item(main, "loginPage") != nullptr; }));
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, SigningInThroughTheFormReachesTheStartPage) {
    reachability->set(true);
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("LoginWindowGroup")));
    QQuickWindow* window = scenes().window(QStringLiteral("LoginWindowGroup"));
    auto* scene = window->findChild<app::LoginScene*>();
    ASSERT_NE(scene, nullptr);
    window->requestActivate();
    ASSERT_TRUE(pumpUntil([&] { return window->activeFocusItem() != nullptr; }, 1000));

    // Typed into the focused field; Return moves on to the password without sending anything.
    type(window, "trader");
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(scene->viewModel()->userName(), QStringLiteral("trader"));
    EXPECT_EQ(scene->logic()->focusedField(), app::LoginViewLogic::Field::password);
    type(window, "wrong");
    // The answer may come while the key is still being delivered: what counts is that the
    // form went into signing in, not that it is still there when the key returns.
    auto wentSigningIn = std::make_shared<bool>(false);
    auto* logic = scene->logic();
    QObject::connect(logic, &app::LoginViewLogic::isSigningInChanged, logic,
                     [logic, wentSigningIn] { *wentSigningIn |= logic->isSigningIn(); });
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(*wentSigningIn);

    QObject* alert = item(QStringLiteral("LoginWindowGroup"), "errorAlert");
    if (!alert) {
        alert = window->findChild<QObject*>(QStringLiteral("errorAlert"));
    }
    ASSERT_NE(alert, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return alert->property("visible").toBool(); }));
    EXPECT_EQ(alert->property("message").toString(), QStringLiteral("Wrong credentials"));
    EXPECT_FALSE(scene->logic()->isSigningIn()) << "the form is usable again";
    // Return now belongs to the alert: it closes it and sends nothing again.
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(pumpUntil([&] { return !scene->logic()->showErrorAlert(); }));
    pumpFor(50);
    EXPECT_FALSE(alert->property("visible").toBool());
    EXPECT_EQ(web.requestCount(), 1u);
    EXPECT_EQ(scene->viewModel()->password(), QStringLiteral("wrong")) << "the typed values stay";

    scene->viewModel()->setPassword(QStringLiteral("korvane"));
    scene->logic()->loginTapped();
    ASSERT_TRUE(
        pumpUntil([&] { return scenes().window(QStringLiteral("KVWindowGroup")) != nullptr; }));
    EXPECT_EQ(scenes().window(QStringLiteral("LoginWindowGroup")), nullptr)
        << "the sign-in window closed itself";
    EXPECT_EQ(korvane->navigation().page(), app::PagesEnum::startSession);
    EXPECT_EQ(defaults.string("cookie"), "sessionid=abc");
    EXPECT_EQ(defaults.string("userID"), "7");
    EXPECT_NE(item(QStringLiteral("KVWindowGroup"), "startPage"), nullptr);
    EXPECT_EQ(web.requestCount(), 2u);
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, SigningInOnTheMainWindowsPageReplacesItWithTheStartPage) {
    reachability->set(true);
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("KVWindowGroup")));
    const QString main = QStringLiteral("KVWindowGroup");
    QPointer<QQuickItem> page = item(main, "loginPage");
    ASSERT_NE(page, nullptr);
    QPointer<app::LoginScene> scene =
        qobject_cast<app::LoginScene*>(page->property("model").value<QObject*>());
    ASSERT_NE(scene, nullptr);
    QQuickWindow* window = scenes().window(main);

    scene->viewModel()->setUserName(QStringLiteral("trader"));
    scene->viewModel()->setPassword(QStringLiteral("korvane"));
    scene->logic()->loginTapped();
    // The page that signed in is replaced while its own reaction still runs.
    ASSERT_TRUE(pumpUntil([&] { return item(main, "startPage") != nullptr; }));
    EXPECT_TRUE(pumpUntil([&] { return page.isNull() && scene.isNull(); }, 1000));
    EXPECT_EQ(scenes().window(main), window) << "the same main window, not a second one";
    EXPECT_EQ(scenes().windows().size(), 1);
    EXPECT_EQ(defaults.string("navigationKey"), "startSession");
    EXPECT_EQ(defaults.string("cookie"), "sessionid=abc");
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, EveryQmlFileCompilesWithoutWarnings) {
    QStringList files;
    for (const QString& root : {QStringLiteral(":/korvane"), QStringLiteral(":/qt/qml/Korvane")}) {
        QDirIterator it(root, {QStringLiteral("*.qml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            files.append(it.next());
        }
    }
    EXPECT_GE(files.size(), 19) << files.join(' ').toStdString();
    for (const QString& file : files) {
        QQmlComponent component(&engine, QUrl(QStringLiteral("qrc") + file),
                                QQmlComponent::PreferSynchronous);
        EXPECT_TRUE(component.isReady())
            << file.toStdString() << ": " << component.errorString().toStdString();
    }

    // The symbol button face draws its symbol white at 24 x 24.
    QQmlComponent button(&engine,
                         QUrl(QStringLiteral("qrc:/korvane/desktop/qml/ImageButtonModifier.qml")));
    std::unique_ptr<QObject> face(
        button.createWithInitialProperties({{QStringLiteral("symbol"), QStringLiteral("power")}}));
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->property("implicitWidth").toDouble(), 24.0);
    const QUrl source =
        qobject_cast<QQuickItem*>(face.get())->childItems().at(0)->property("source").toUrl();
    EXPECT_EQ(source.scheme(), QStringLiteral("image"));
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, EveryNamedResourceIsThere) {
    for (const QString& name : desktop::AppResources::colorNames()) {
        EXPECT_NE(desktop::AppResources::color(name), QColor(Qt::magenta)) << name.toStdString();
    }
    EXPECT_EQ(desktop::AppResources::colorNames().size(), 8);
    for (const QString& name : desktop::AppResources::imageNames()) {
        EXPECT_FALSE(QImage(desktop::AppResources::image(name).toString().mid(3)).isNull())
            << name.toStdString();
    }
    for (const QString& name : desktop::AppResources::symbolNames()) {
        EXPECT_FALSE(QImage(desktop::AppResources::symbol(name).toString().mid(3)).isNull())
            << name.toStdString();
    }
    EXPECT_TRUE(desktop::AppResources::loadFonts());
    EXPECT_TRUE(QFontDatabase::families().contains(QStringLiteral("Onest")));
    EXPECT_TRUE(QFontDatabase::families().contains(QStringLiteral("Inter Tight")));
    EXPECT_TRUE(allWarnings().isEmpty()) << allWarnings().join('\n').toStdString();
}

TEST_F(ScenesTest, TheSignInFormSplitsItsSpareRoomAboveTheHeadingAndAboveTheButton) {
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("LoginWindowGroup")));
    QQuickItem* form = item(QStringLiteral("LoginWindowGroup"), "signInForm");
    ASSERT_NE(form, nullptr);
    pumpFor(50);  // a column places its rows when it is polished
    const QList<QQuickItem*> rows = form->childItems();
    ASSERT_EQ(rows.size(), 6) << "space, heading, fields, space, button, link";
    EXPECT_GT(rows.at(0)->height(), 0.0);
    EXPECT_DOUBLE_EQ(rows.at(0)->height(), rows.at(3)->height());
    // Nothing counted twice: the rows end where the column does, so the form is centred.
    EXPECT_NEAR(rows.back()->y() + rows.back()->height(), form->height(), 0.5);
}

TEST_F(ScenesTest, TheSpinnerStepsWhileSigningInAndStopsWithIt) {
    reachability->set(true);
    // The reply waits until the test has seen the spinner turn, however slow the machine.
    auto release = std::make_shared<std::atomic<bool>>(false);
    web.on("POST", "/api/sagevane/auth", [release](const RecordedRequest&, httplib::Response& res) {
        for (int i = 0; i < 3000 && !release->load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        res.status = 401;
        res.set_content(R"({"status":"error","message":"Wrong credentials","error":[]})",
                        "application/json");
    });
    ASSERT_TRUE(scenes().openWindow(QStringLiteral("LoginWindowGroup")));
    auto* scene =
        scenes().window(QStringLiteral("LoginWindowGroup"))->findChild<app::LoginScene*>();
    ASSERT_NE(scene, nullptr);
    QQuickItem* spinner = item(QStringLiteral("LoginWindowGroup"), "signingInSpinner");
    ASSERT_NE(spinner, nullptr);
    EXPECT_FALSE(spinner->isVisible());

    scene->viewModel()->setUserName(QStringLiteral("trader"));
    scene->viewModel()->setPassword(QStringLiteral("wrong"));
    scene->logic()->loginTapped();
    ASSERT_TRUE(scene->logic()->isSigningIn());
    EXPECT_TRUE(spinner->isVisible());
    const int first = spinner->property("step").toInt();
    EXPECT_TRUE(pumpUntil([&] { return spinner->property("step").toInt() - first >= 2; }, 20000))
        << "it steps while signing in";
    release->store(true);

    ASSERT_TRUE(pumpUntil([&] { return !scene->logic()->isSigningIn(); }, 20000));
    EXPECT_FALSE(spinner->isVisible());
    const int last = spinner->property("step").toInt();
    pumpFor(250);
    EXPECT_EQ(spinner->property("step").toInt(), last) << "a hidden spinner costs no frames";
}
