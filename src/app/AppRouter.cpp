#include "AppRouter.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace app {

AppRouter::AppRouter(SceneManager& scenes, Navigation& navigation)
    : m_scenes(scenes),
      m_navigation(navigation),
      m_openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {}

void AppRouter::openWindow(const QString& identifier) {
    m_scenes.openWindow(identifier);
}

void AppRouter::dismissWindow(const QString& identifier) {
    m_scenes.dismissWindow(identifier);
}

QQuickWindow* AppRouter::window(const QString& identifier) const {
    return m_scenes.window(identifier);
}

PagesEnum AppRouter::page() const {
    return m_navigation.page();
}

void AppRouter::setPage(PagesEnum page) {
    m_navigation.setPage(page);
}

void AppRouter::openURL(const QUrl& url) {
    if (url.isValid() && !url.scheme().isEmpty() && m_openUrl) {
        m_openUrl(url);
    }
}

void AppRouter::quit() {
    // Later: the caller is usually a click handler of a window that quitting takes down.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

}  // namespace app
