#include "desktop/ObserverTokens.h"

#include <algorithm>

namespace desktop {

ObserverTokens::Token ObserverTokens::add(const QString& name,
                                          platform::NotificationCenter::Block block) {
    const Token token = m_center.addObserver(name, std::move(block));
    m_tokens.push_back(token);
    return token;
}

void ObserverTokens::remove(Token token) {
    if (std::erase(m_tokens, token) > 0) {
        m_center.removeObserver(token);
    }
}

void ObserverTokens::remove(std::optional<Token>& slot) {
    if (slot) {
        remove(*slot);
        slot.reset();
    }
}

void ObserverTokens::removeAll() {
    for (const Token token : m_tokens) {
        m_center.removeObserver(token);
    }
    m_tokens.clear();
}

}  // namespace desktop
