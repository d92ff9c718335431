#include "PrerecordingCountdownViewModel.h"

namespace setup {
PrerecordingCountdownViewModel::PrerecordingCountdownViewModel(QObject* parent) : QObject(parent) {}
}  // namespace setup
