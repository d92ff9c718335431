#include "StartRecordingScene.h"

namespace setup {
StartRecordingScene::StartRecordingScene(desktop::Router& router, QObject* parent) : QObject(parent), m_router(router) {}
}  // namespace setup
