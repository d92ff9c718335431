#pragma once

#include "Navigation.h"

#include "desktop/SceneRegistration.h"

#include <QtQml/qqmlregistration.h>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QUrl>

namespace app {

// MainWindowScene: what the main window shows: the page the persisted navigation names, each
// page with a logic object of its own, made afresh whenever the page changes.
class MainWindowScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QUrl pageSource READ pageSource NOTIFY pageChanged)
    Q_PROPERTY(QObject* pageModel READ pageModel NOTIFY pageChanged)

  public:
    MainWindowScene(Navigation& navigation, QHash<int, desktop::PageRegistration> pages,
                    QObject* parent = nullptr);

    QUrl pageSource() const { return m_pageSource; }

    // Before the window is first shown, at its first page's size: where its pages slide in from.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    QObject* pageModel() const { return m_pageModel; }

  signals:
    void pageChanged();

  private:
    void schedulePage();
    void showPage();

    Navigation& m_navigation;
    QHash<int, desktop::PageRegistration> m_pages;
    QUrl m_pageSource;
    QPointer<QObject> m_pageModel;
    bool m_pageScheduled = false;
};

}  // namespace app
