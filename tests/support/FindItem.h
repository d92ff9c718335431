#pragma once

#include <QQuickItem>
#include <QString>

// By the visual tree: what a Loader or a view makes is not among anyone's QObject children.
inline QQuickItem* findItem(QQuickItem* item, const QString& objectName) {
    if (item->objectName() == objectName) {
        return item;
    }
    for (QQuickItem* child : item->childItems()) {
        if (QQuickItem* found = findItem(child, objectName)) {
            return found;
        }
    }
    return nullptr;
}
