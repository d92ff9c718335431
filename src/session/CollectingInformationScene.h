#pragma once

#include "ScreenRecorder.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <memory>

namespace session {

class CollectingInformationScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    CollectingInformationScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder, platform::DefaultsStore& defaults, QString webBaseURL, QObject* parent = nullptr);

  private:
    desktop::Router& m_router;
};

}  // namespace session
