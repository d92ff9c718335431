#pragma once

#include "Navigation.h"
#include "SceneManager.h"

#include "desktop/Router.h"

#include <functional>

namespace app {

// AppRouter: the application's own router, over its scenes and the persisted page.
class AppRouter final : public desktop::Router {
  public:
    using UrlOpener = std::function<void(const QUrl& url)>;

    AppRouter(SceneManager& scenes, Navigation& navigation);

    void openWindow(const QString& identifier) override;
    void dismissWindow(const QString& identifier) override;
    QQuickWindow* window(const QString& identifier) const override;
    PagesEnum page() const override;
    void setPage(PagesEnum page) override;
    void openURL(const QUrl& url) override;
    void quit() override;

    // The default browser unless a test puts something else in its place.
    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

  private:
    SceneManager& m_scenes;
    Navigation& m_navigation;
    UrlOpener m_openUrl;
};

}  // namespace app
