#pragma once

#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QSettings;

namespace platform {

// The user's defaults: a small INI file readable and writable by its owner only, since it holds
// the session cookie. Safe to use from any thread.
class DefaultsStore {
  public:
    // The shared store: organisation and application "Korvane" in the user's config directory.
    static DefaultsStore& standard();

    // A store in the given INI file (tests; the shared store uses the standard location).
    explicit DefaultsStore(const QString& filePath);
    ~DefaultsStore();
    DefaultsStore(const DefaultsStore&) = delete;
    DefaultsStore& operator=(const DefaultsStore&) = delete;

    QVariant value(const QString& key) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);
    bool contains(const QString& key) const;

    // Text values; absent when the key is not set.
    std::optional<std::string> string(const QString& key) const;
    void setString(const QString& key, const std::string& value);

    QString filePath() const;

  private:
    void persist();

    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
};

}  // namespace platform
