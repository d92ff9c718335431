#pragma once

// Every property of an object that a view can bind (one with a notify signal), watched as a view
// watches it: a value that changed without its notify signal leaves the view showing the old one.
#include <QMetaProperty>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <string>
#include <vector>

class NotifyAudit {
  public:
    explicit NotifyAudit(QObject* object) : m_object(object) {
        const QMetaObject* meta = object->metaObject();
        for (int i = 0; i < meta->propertyCount(); ++i) {
            const QMetaProperty property = meta->property(i);
            if (property.hasNotifySignal()) {
                m_watched.push_back(
                    {property, property.read(object),
                     std::make_unique<QSignalSpy>(object, property.notifySignal())});
            }
        }
    }

    // The properties whose value changed since the last look without their notify signal; each
    // look starts the next step. Empty when the view saw every change.
    std::string silentChanges() {
        QStringList silent;
        for (Watched& watched : m_watched) {
            const QVariant now = watched.property.read(m_object);
            if (now != watched.value && watched.spy->isEmpty()) {
                silent.append(QString::fromLatin1(watched.property.name()));
            }
            watched.value = now;
            watched.spy->clear();
        }
        return silent.join(QStringLiteral(", ")).toStdString();
    }

  private:
    struct Watched {
        QMetaProperty property;
        QVariant value;
        std::unique_ptr<QSignalSpy> spy;
    };
    QObject* m_object;
    std::vector<Watched> m_watched;
};
