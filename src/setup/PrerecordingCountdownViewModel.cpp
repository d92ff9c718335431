#include "PrerecordingCountdownViewModel.h"

#include <QRandomGenerator>

#include <random>

namespace setup {

PrerecordingCountdownViewModel::PrerecordingCountdownViewModel(QObject* parent) : QObject(parent) {
    // A distribution rather than a modulo: every prompt is equally likely.
    std::uniform_int_distribution<qsizetype> pick(0, prompts().size() - 1);
    m_prompt = prompts().at(pick(*QRandomGenerator::global()));
}

const QStringList& PrerecordingCountdownViewModel::prompts() {
    static const QStringList list{
        QStringLiteral("Think out loud \u2014 your future self will thank you"),
        QStringLiteral("Ready to record your thought process? Speak your mind!"),
        QStringLiteral("Pro tip: Talk through your trades for better AI insights"),
        QStringLiteral("Recording starting \u2014 share what you're seeing!"),
        QStringLiteral("Your AI journal works best when you think out loud"),
        QStringLiteral("Mic's hot! Narrate your session for better analysis"),
    };
    return list;
}

}  // namespace setup
