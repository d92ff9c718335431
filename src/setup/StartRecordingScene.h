#pragma once

#include "desktop/Router.h"
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace setup {

class StartRecordingScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    explicit StartRecordingScene(desktop::Router& router, QObject* parent = nullptr);

  private:
    desktop::Router& m_router;
};

}  // namespace setup
