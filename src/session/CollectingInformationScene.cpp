#include "CollectingInformationScene.h"

namespace session {
CollectingInformationScene::CollectingInformationScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder>, platform::DefaultsStore&, QString, QObject* parent)
    : QObject(parent), m_router(router) {}
}  // namespace session
