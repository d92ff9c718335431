#pragma once

#include <QObject>
#include <QString>

namespace desktop {
Q_NAMESPACE

// The main window's page, kept under "navigationKey" as its case name.
enum class PagesEnum { logout, startSession, prepareSession, endSession };
Q_ENUM_NS(PagesEnum)

QString rawValue(PagesEnum page);
// Any text that names no page reads as logout.
PagesEnum pageFromRawValue(const QString& text);

}  // namespace desktop
