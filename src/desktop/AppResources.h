#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QQmlEngine;

namespace desktop {

// The named colours, images, symbols and fonts every window draws with. QML reaches them through
// the "Resources" singleton of the "Korvane" module.
class AppResources : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString onest READ onestFamily CONSTANT)
    Q_PROPERTY(QString interTight READ interTightFamily CONSTANT)

  public:
    explicit AppResources(QObject* parent = nullptr);

    static const QStringList& colorNames();
    static const QStringList& imageNames();
    static const QStringList& symbolNames();

    // An unknown name is a programming error: it is logged and drawn in magenta, so it shows.
    Q_INVOKABLE static QColor color(const QString& name);
    Q_INVOKABLE static QColor colorWithAlpha(const QString& name, double alpha);
    // qrc URLs of the SVG artwork; empty for an unknown name (logged).
    Q_INVOKABLE static QUrl image(const QString& name);
    Q_INVOKABLE static QUrl symbol(const QString& name);
    // The same artwork in one colour: every drawn pixel takes the tint, keeping its coverage.
    Q_INVOKABLE static QUrl tintedImage(const QString& name, const QColor& tint);
    Q_INVOKABLE static QUrl tintedSymbol(const QString& name, const QColor& tint);

    static QString onestFamily() { return QStringLiteral("Onest"); }
    // "InterTight-Medium" is the medium weight of this family.
    static QString interTightFamily() { return QStringLiteral("Inter Tight"); }

    // Adds the bundled fonts to the application's font database; false when one did not load.
    static bool loadFonts();
    // Makes the "Resources" singleton available to QML (once per process).
    static void registerQmlTypes();
    // The tinted artwork's image provider, on each engine that shows it.
    static void installImageProvider(QQmlEngine& engine);
};

}  // namespace desktop
