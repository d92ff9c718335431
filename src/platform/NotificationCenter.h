#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace platform {

// Named notifications between parts of the program. Observers are blocks, always run on the
// main thread, whatever thread posted; they live until their token is removed.
class NotificationCenter {
  public:
    using Token = std::uint64_t;
    using Block = std::function<void(const QVariantMap& userInfo)>;

    static NotificationCenter& defaultCenter();

    Token addObserver(const QString& name, Block block);
    void removeObserver(Token token);
    void post(const QString& name, const QVariantMap& userInfo = {});
    std::size_t observerCount(const QString& name) const;

  private:
    void deliver(const QString& name, const QVariantMap& userInfo);

    mutable std::mutex m_mutex;
    Token m_next = 1;
    std::map<Token, std::pair<QString, Block>> m_observers;
};

}  // namespace platform
