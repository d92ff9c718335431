#pragma once

#include "ScreenRecorder.h"
#include "desktop/Router.h"
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace setup {

class CountdownScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    CountdownScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder, QObject* parent = nullptr);

  private:
    desktop::Router& m_router; std::shared_ptr<recording::ScreenRecorder> m_recorder;
};

}  // namespace setup
