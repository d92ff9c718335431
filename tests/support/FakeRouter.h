#pragma once

// A router that writes down what a window asked of the application, as "open X", "dismiss X",
// "page P", "url U" and "quit", in order. Windows can be handed to it for lookups.
#include "desktop/Router.h"

#include <QHash>
#include <QPointer>
#include <QQuickWindow>

#include <functional>
#include <string>
#include <vector>

class FakeRouter final : public desktop::Router {
  public:
    void openWindow(const QString& identifier) override {
        events.push_back("open " + identifier.toStdString());
        if (onOpen) {
            onOpen(identifier);
        }
    }
    void dismissWindow(const QString& identifier) override {
        events.push_back("dismiss " + identifier.toStdString());
        windows.remove(identifier);
    }
    QQuickWindow* window(const QString& identifier) const override {
        return windows.value(identifier);
    }
    desktop::PagesEnum page() const override { return currentPage; }
    void setPage(desktop::PagesEnum page) override {
        currentPage = page;
        events.push_back("page " + desktop::rawValue(page).toStdString());
    }
    void openURL(const QUrl& url) override {
        events.push_back("url " + url.toString().toStdString());
    }
    void quit() override { events.push_back("quit"); }

    std::function<void(const QString&)> onOpen;
    std::vector<std::string> events;
    QHash<QString, QPointer<QQuickWindow>> windows;
    desktop::PagesEnum currentPage = desktop::PagesEnum::logout;
};
