#pragma once

#include "ScreenRecorder.h"

#include <QtQml/qqml.h>

namespace setup {

// The recorder as the setup views see it: a typed object they bind to and call, never create.
struct ScreenRecorderForeign {
    Q_GADGET
    QML_FOREIGN(recording::ScreenRecorder)
    QML_NAMED_ELEMENT(ScreenRecorder)
    QML_UNCREATABLE("the application has exactly one recorder")
};

}  // namespace setup
