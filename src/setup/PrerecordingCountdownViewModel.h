#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QStringList>

namespace setup {

// PrerecordingCountdownViewModel: the narration prompt one countdown shows. Picked at random
// when the model is made and kept for the whole count, so the trader reads one steady line.
class PrerecordingCountdownViewModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QString prompt READ prompt CONSTANT)

  public:
    explicit PrerecordingCountdownViewModel(QObject* parent = nullptr);

    static const QStringList& prompts();
    const QString& prompt() const { return m_prompt; }

  private:
    QString m_prompt;
};

}  // namespace setup
