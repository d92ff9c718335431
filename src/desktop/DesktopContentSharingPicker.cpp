#include "DesktopContentSharingPicker.h"

#include "ThumbnailProvider.h"
#include "WindowControl.h"
#include "X11ThumbnailGrabber.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTimer>

namespace desktop {

namespace {
constexpr int kThumbnailWidth = 240;
constexpr std::chrono::milliseconds kLongestHold{400};
}  // namespace

DesktopContentSharingPicker::DesktopContentSharingPicker(
    std::shared_ptr<const platform::WindowServer> windowServer)
    : m_windowServer(std::move(windowServer)), m_thumbnails(std::make_shared<ThumbnailStore>()) {
    QObject::connect(&m_model, &ContentPickerModel::finished, [this] { closeWindow(); });
    m_holdTimer.setSingleShot(true);
    QObject::connect(&m_holdTimer, &QTimer::timeout, [this] { showWindow(); });
}

DesktopContentSharingPicker::~DesktopContentSharingPicker() {
    delete m_window.data();
}

void DesktopContentSharingPicker::setConfiguration(const Configuration& configuration) {
    m_configuration = configuration;
}

void DesktopContentSharingPicker::addObserver(
    std::weak_ptr<platform::ContentSharingPickerObserver> observer) {
    m_model.addObserver(std::move(observer));
}

void DesktopContentSharingPicker::setActive(bool active) {
    if (!active) {
        m_model.dismiss();
    }
}

void DesktopContentSharingPicker::present() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) || !m_windowServer) {
        m_model.failStart({errorDomain, noDisplay, "No display to pick from"});
        return;
    }
    if (m_window) {
        m_window->raise();
        m_window->requestActivate();
        return;
    }
    m_model.begin(m_configuration.allowedPickerModes, m_windowServer);
    if (!createWindow()) {
        m_model.dismiss();
        m_model.failStart({errorDomain, viewUnavailable, "The picker window could not be shown"});
        return;
    }
    // Shown once the thumbnails are taken, so the picker is not in its own pictures; a slow
    // grab holds it back only briefly.
    m_holdTimer.start(kLongestHold);
    grabThumbnails();
}

void DesktopContentSharingPicker::showWindow() {
    m_holdTimer.stop();
    if (m_window && m_model.isAwaitingAnswer() && !m_window->isVisible()) {
        m_window->show();
        m_window->requestActivate();
    }
}

void DesktopContentSharingPicker::closeWindow() {
    if (m_window) {
        // Often called from the view's own click handler: the window goes once that returns.
        m_window->hide();
        platform::MainQueue::post([window = m_window] { delete window.data(); });
        m_window = nullptr;
    }
}

bool DesktopContentSharingPicker::createWindow() {
    if (!m_engine) {
        m_engine = std::make_unique<QQmlEngine>();
        m_engine->addImageProvider(QString::fromLatin1(ThumbnailProvider::name),
                                   new ThumbnailProvider(m_thumbnails));
    }
    QQmlComponent component(m_engine.get(),
                            QUrl(QStringLiteral("qrc:/korvane/desktop/qml/ContentPicker.qml")));
    QObject* object = component.createWithInitialProperties(
        {{QStringLiteral("picker"), QVariant::fromValue(static_cast<QObject*>(&m_model))}});
    m_window = qobject_cast<QQuickWindow*>(object);
    if (!m_window) {
        delete object;
        platform::logLine("content picker: " + component.errorString().toStdString());
        return false;
    }
    // The windows that ask for it (the source picker, the main window) float above ordinary
    // windows; the picker has to come up above them, not behind.
    setWindowLevel(*m_window, WindowLevel::floating);
    return true;
}

void DesktopContentSharingPicker::grabThumbnails() {
    const std::uint64_t generation = ++m_generation;
    m_thumbnails->startGeneration(generation);
    std::vector<ThumbnailSource> sources;
    for (const PickerEntry& entry : m_model.entries()) {
        if (const auto* window = std::get_if<platform::ShareableWindow>(&entry.content)) {
            sources.push_back({window->windowID, window->frame});
        } else {
            sources.push_back(
                {std::nullopt, std::get<platform::ShareableDisplay>(entry.content).frame});
        }
    }
    // A full-screen grab and its scaling take longer than a frame: off the main thread. Results
    // come back as events of the model, which outlives the grabbing thread and drops what is
    // still queued when it goes.
    auto onMain = [this](auto task) {
        QMetaObject::invokeMethod(&m_model, std::move(task), Qt::QueuedConnection);
    };
    m_grabQueue.post([this, sources = std::move(sources), generation, store = m_thumbnails,
                      onMain] {
        const auto grabber = X11ThumbnailGrabber::open();
        for (std::size_t row = 0; grabber && row < sources.size(); ++row) {
            if (store->generation() != generation) {
                return;  // a newer listing took over
            }
            const QImage image = grabber->grab(sources[row], kThumbnailWidth);
            const QString id = QStringLiteral("%1/%2").arg(generation).arg(row);
            if (!image.isNull() && store->insert(generation, id, image)) {
                onMain([this, generation, row, id] {
                    if (generation == m_generation) {
                        m_model.setThumbnail(static_cast<int>(row),
                                             QStringLiteral("image://%1/%2")
                                                 .arg(QLatin1String(ThumbnailProvider::name), id));
                    }
                });
            }
        }
        onMain([this, generation] {
            if (generation == m_generation) {
                showWindow();
            }
        });
    });
}

}  // namespace desktop
