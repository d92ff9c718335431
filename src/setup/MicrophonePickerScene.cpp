#include "MicrophonePickerScene.h"

namespace setup {
MicrophonePickerScene::MicrophonePickerScene(desktop::Router& router, platform::DefaultsStore& defaults, std::unique_ptr<MicrophoneSourcePickerViewModel> viewModel, QObject* parent)
    : QObject(parent), m_router(router), m_defaults(defaults), m_viewModel(std::move(viewModel)) {}
}  // namespace setup
