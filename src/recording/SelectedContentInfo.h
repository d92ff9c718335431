#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace recording {

// A plain description of what the trader chose to record.
struct SelectedContentInfo {
    Q_GADGET
    // For the views: absent numbers read as -1, absent texts as empty.
    Q_PROPERTY(QString kind READ kindText)
    Q_PROPERTY(QString name READ nameText)
    Q_PROPERTY(QString bundleIdentifier READ bundleIdentifierText)
    Q_PROPERTY(qint64 windowID READ windowNumber)
    Q_PROPERTY(qint64 displayID READ displayNumber)

  public:
    enum class Kind { window, display, unknown };

    Kind kind = Kind::unknown;
    std::optional<std::string> name;              // window title (windows only)
    std::optional<std::string> bundleIdentifier;  // owning application (windows only)
    std::optional<std::uint32_t> windowID;        // windows only
    std::optional<std::uint32_t> displayID;       // displays only

    bool operator==(const SelectedContentInfo&) const = default;

    QString kindText() const { return QString::fromStdString(rawValue(kind)); }
    QString nameText() const { return QString::fromStdString(name.value_or("")); }
    QString bundleIdentifierText() const {
        return QString::fromStdString(bundleIdentifier.value_or(""));
    }
    qint64 windowNumber() const { return windowID ? qint64(*windowID) : -1; }
    qint64 displayNumber() const { return displayID ? qint64(*displayID) : -1; }

    static std::string rawValue(Kind kind);
    static std::optional<Kind> kindFromRaw(const std::string& raw);
};

}  // namespace recording
