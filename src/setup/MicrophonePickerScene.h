#pragma once

#include "MicrophoneSourcePickerViewModel.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace setup {

class MicrophonePickerScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    MicrophonePickerScene(desktop::Router& router, platform::DefaultsStore& defaults, std::unique_ptr<MicrophoneSourcePickerViewModel> viewModel, QObject* parent = nullptr);

  private:
    desktop::Router& m_router; platform::DefaultsStore& m_defaults; std::unique_ptr<MicrophoneSourcePickerViewModel> m_viewModel;
};

}  // namespace setup
