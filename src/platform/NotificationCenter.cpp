#include "NotificationCenter.h"

#include "MainQueue.h"

#include <vector>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Block block) {
    std::lock_guard lock(m_mutex);
    const Token token = m_next++;
    m_observers.emplace(token, std::make_pair(name, std::move(block)));
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(m_mutex);
    m_observers.erase(token);
}

std::size_t NotificationCenter::observerCount(const QString& name) const {
    std::lock_guard lock(m_mutex);
    std::size_t count = 0;
    for (const auto& [token, observer] : m_observers) {
        count += observer.first == name ? 1 : 0;
    }
    return count;
}

void NotificationCenter::post(const QString& name, const QVariantMap& userInfo) {
    if (MainQueue::isMainThread()) {
        deliver(name, userInfo);
    } else {
        MainQueue::post([this, name, userInfo] { deliver(name, userInfo); });
    }
}

void NotificationCenter::deliver(const QString& name, const QVariantMap& userInfo) {
    // Observers may add or remove observers while being called: call a snapshot, skipping any
    // removed in the meantime.
    std::vector<Token> tokens;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [token, observer] : m_observers) {
            if (observer.first == name) {
                tokens.push_back(token);
            }
        }
    }
    for (const Token token : tokens) {
        Block block;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_observers.find(token);
            if (it == m_observers.end()) {
                continue;
            }
            block = it->second.second;
        }
        block(userInfo);
    }
}

}  // namespace platform
