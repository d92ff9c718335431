#include "InactivityReminderScene.h"

namespace session {
InactivityReminderScene::InactivityReminderScene(desktop::Router& router, QObject* parent) : QObject(parent), m_router(router) {}
}  // namespace session
