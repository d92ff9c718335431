#pragma once

#include "desktop/Router.h"
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace session {

class InactivityReminderScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    InactivityReminderScene(desktop::Router& router, QObject* parent = nullptr);

  private:
    desktop::Router& m_router;
};

}  // namespace session
