#pragma once

#include "platform/NotificationCenter.h"

#include <optional>
#include <vector>

namespace desktop {

// ObserverTokens: notification observers that belong to one window's logic and go with it, so
// that no observer ever calls into a page that is gone.
class ObserverTokens {
  public:
    using Token = platform::NotificationCenter::Token;

    explicit ObserverTokens(
        platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter())
        : m_center(center) {}
    ~ObserverTokens() { removeAll(); }
    ObserverTokens(const ObserverTokens&) = delete;
    ObserverTokens& operator=(const ObserverTokens&) = delete;

    Token add(const QString& name, platform::NotificationCenter::Block block);
    void remove(Token token);
    // Removes the observer a slot holds, if any, and clears the slot.
    void remove(std::optional<Token>& slot);
    void removeAll();
    std::size_t size() const { return m_tokens.size(); }

  private:
    platform::NotificationCenter& m_center;
    std::vector<Token> m_tokens;
};

}  // namespace desktop
