#include "PrepareSessionScene.h"

namespace setup {
PrepareSessionScene::PrepareSessionScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder, platform::DefaultsStore& defaults, QString webBaseURL, QObject* parent)
    : QObject(parent), m_router(router), m_recorder(std::move(recorder)), m_defaults(defaults), m_webBaseURL(std::move(webBaseURL)) {}
}  // namespace setup
