#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

namespace setup {

class PrerecordingCountdownViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")

  public:
    explicit PrerecordingCountdownViewModel(QObject* parent = nullptr);
};

}  // namespace setup
