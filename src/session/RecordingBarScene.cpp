#include "RecordingBarScene.h"

namespace session {
RecordingBarScene::RecordingBarScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder>, platform::DefaultsStore&, QObject* parent)
    : QObject(parent), m_router(router) {}
}  // namespace session
