#include "MainWindowScene.h"

#include "SceneManager.h"

#include "desktop/WindowControl.h"

#include <QQmlEngine>
#include <QQuickWindow>
#include <QTimer>

namespace app {

MainWindowScene::MainWindowScene(Navigation& navigation,
                                 QHash<int, desktop::PageRegistration> pages, QObject* parent)
    : QObject(parent), m_navigation(navigation), m_pages(std::move(pages)) {
    connect(&m_navigation, &Navigation::pageChanged, this, &MainWindowScene::schedulePage);
    showPage();
}

void MainWindowScene::schedulePage() {
    if (m_pageScheduled) {
        return;
    }
    m_pageScheduled = true;
    // Not from inside the handler that changed the page: that handler usually goes on to dismiss
    // this very window (sign out, the start card), and a page built for a window on its way out
    // would still appear, slide in and ask for things.
    QTimer::singleShot(0, this, [this] {
        m_pageScheduled = false;
        if (SceneManager::isDismissed(parent())) {
            return;
        }
        showPage();
    });
}

void MainWindowScene::showPage() {
    const auto page = m_pages.constFind(static_cast<int>(m_navigation.page()));
    QObject* previous = m_pageModel;
    m_pageSource = page == m_pages.cend() ? QUrl() : page->component;
    m_pageModel = page != m_pages.cend() && page->makeModel ? page->makeModel() : nullptr;
    if (m_pageModel) {
        m_pageModel->setParent(this);
        QQmlEngine::setObjectOwnership(m_pageModel, QQmlEngine::CppOwnership);
    }
    emit pageChanged();
    // The old page's view is gone by now; its logic may still be running the handler that
    // changed the page.
    if (previous) {
        previous->deleteLater();
    }
}

void MainWindowScene::configureWindow(QQuickWindow* window) {
    if (window) {
        desktop::placeForSlideIn(*window, window->width(), window->height());
    }
}

}  // namespace app
