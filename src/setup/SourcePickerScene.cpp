#include "SourcePickerScene.h"

namespace setup {
SourcePickerScene::SourcePickerScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder, QObject* parent)
    : QObject(parent), m_router(router), m_recorder(std::move(recorder)) {}
}  // namespace setup
