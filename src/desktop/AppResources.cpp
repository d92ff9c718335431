#include "desktop/AppResources.h"

#include "desktop/WindowBorder.h"

#include <QFontDatabase>
#include <QHash>
#include <QLoggingCategory>
#include <QPainter>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QSvgRenderer>
#include <QUrlQuery>

#include <algorithm>

namespace desktop {

namespace {

const QHash<QString, QColor>& colorTable() {
    // A dark interface with a green accent.
    static const QHash<QString, QColor> table{
        {QStringLiteral("application_background_black"), QColor(0x0E, 0x0F, 0x11)},
        {QStringLiteral("application_border_gray"), QColor(0x3A, 0x3D, 0x42)},
        {QStringLiteral("application_green"), QColor(0x2F, 0xBF, 0x71)},
        {QStringLiteral("application_red"), QColor(0xE5, 0x48, 0x4D)},
        {QStringLiteral("dark_black"), QColor(0x08, 0x09, 0x0A)},
        {QStringLiteral("font_gray"), QColor(0x8A, 0x8F, 0x98)},
        {QStringLiteral("font_white"), QColor(0xF2, 0xF3, 0xF5)},
        {QStringLiteral("light_black"), QColor(0x1F, 0x22, 0x26)},
    };
    return table;
}

const QStringList kFontFiles{
    QStringLiteral(":/korvane/fonts/Onest-Regular.ttf"),
    QStringLiteral(":/korvane/fonts/Onest-Medium.ttf"),
    QStringLiteral(":/korvane/fonts/Onest-SemiBold.ttf"),
    QStringLiteral(":/korvane/fonts/Onest-Bold.ttf"),
    QStringLiteral(":/korvane/fonts/InterTight-Medium.ttf"),
};

constexpr const char* kProviderName = "korvane";

// image://korvane/<folder>/<name>?tint=<aarrggbb>, drawn from the SVG in the resources.
class TintedImageProvider final : public QQuickImageProvider {
  public:
    TintedImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override {
        const QUrl url(id);
        const QString path = url.path();
        const QColor tint(QLatin1Char('#') + QUrlQuery(url).queryItemValue(QStringLiteral("tint")));
        QSvgRenderer renderer(QStringLiteral(":/korvane/") + path + QStringLiteral(".svg"));
        if (!renderer.isValid() || !tint.isValid()) {
            qWarning("No tinted artwork for %s", qPrintable(id));
            return {};
        }
        QSize natural = renderer.defaultSize();
        if (natural.isEmpty()) {
            natural = QSize(24, 24);
        }
        QSize target = natural;
        if (requestedSize.width() > 0 && requestedSize.height() > 0) {
            target = natural.scaled(requestedSize, Qt::KeepAspectRatio);
        } else if (requestedSize.width() > 0) {
            target = natural.scaled(requestedSize.width(), 1 << 20, Qt::KeepAspectRatio);
        } else if (requestedSize.height() > 0) {
            target = natural.scaled(1 << 20, requestedSize.height(), Qt::KeepAspectRatio);
        }
        QImage image(target, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), tint);
        painter.end();
        if (size) {
            *size = natural;
        }
        return image;
    }
};

QUrl tintedUrl(const QStringList& known, const QString& folder, const QString& name,
               const QColor& tint, const char* what) {
    if (!known.contains(name)) {
        qWarning("Unknown %s: %s", what, qPrintable(name));
        return {};
    }
    QUrl url(QStringLiteral("image://%1/%2/%3").arg(QLatin1String(kProviderName), folder, name));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("tint"), tint.name(QColor::HexArgb).mid(1));
    url.setQuery(query);
    return url;
}

QUrl resourceUrl(const QStringList& known, const QString& folder, const QString& name,
                 const char* what) {
    if (!known.contains(name)) {
        qWarning("Unknown %s: %s", what, qPrintable(name));
        return {};
    }
    return QUrl(QStringLiteral("qrc:/korvane/%1/%2.svg").arg(folder, name));
}

}  // namespace

AppResources::AppResources(QObject* parent) : QObject(parent) {}

const QStringList& AppResources::colorNames() {
    static const QStringList names = [] {
        QStringList list = colorTable().keys();
        list.sort();
        return list;
    }();
    return names;
}

const QStringList& AppResources::imageNames() {
    static const QStringList names{
        QStringLiteral("Vantrel"),           QStringLiteral("kv_logo"),
        QStringLiteral("kv_waves"),          QStringLiteral("kv_microphone"),
        QStringLiteral("kv_points_round"),   QStringLiteral("kv_reapeat"),
        QStringLiteral("kv_trash"),          QStringLiteral("checkmark_img"),
        QStringLiteral("home_img"),          QStringLiteral("on_green"),
        QStringLiteral("off_red"),           QStringLiteral("start_recording"),
        QStringLiteral("start_session_img"), QStringLiteral("stop_btn"),
        QStringLiteral("view_now_btn"),
    };
    return names;
}

const QStringList& AppResources::symbolNames() {
    static const QStringList names{
        QStringLiteral("x.circle"),
        QStringLiteral("questionmark.circle"),
        QStringLiteral("display"),
        QStringLiteral("macwindow"),
        QStringLiteral("microphone.fill"),
        QStringLiteral("microphone.slash.fill"),
        QStringLiteral("rectangle.portrait.and.arrow.right"),
        QStringLiteral("power"),
    };
    return names;
}

QColor AppResources::color(const QString& name) {
    const auto found = colorTable().constFind(name);
    if (found == colorTable().constEnd()) {
        qWarning("Unknown colour: %s", qPrintable(name));
        return QColor(Qt::magenta);
    }
    return *found;
}

QColor AppResources::colorWithAlpha(const QString& name, double alpha) {
    QColor made = color(name);
    made.setAlphaF(float(std::clamp(alpha, 0.0, 1.0)));
    return made;
}

QUrl AppResources::image(const QString& name) {
    return resourceUrl(imageNames(), QStringLiteral("images"), name, "image");
}

QUrl AppResources::symbol(const QString& name) {
    return resourceUrl(symbolNames(), QStringLiteral("symbols"), name, "symbol");
}

QUrl AppResources::tintedImage(const QString& name, const QColor& tint) {
    return tintedUrl(imageNames(), QStringLiteral("images"), name, tint, "image");
}

QUrl AppResources::tintedSymbol(const QString& name, const QColor& tint) {
    return tintedUrl(symbolNames(), QStringLiteral("symbols"), name, tint, "symbol");
}

void AppResources::installImageProvider(QQmlEngine& engine) {
    if (!engine.imageProvider(QLatin1String(kProviderName))) {
        engine.addImageProvider(QLatin1String(kProviderName), new TintedImageProvider);
    }
}

bool AppResources::loadFonts() {
    bool all = true;
    for (const QString& file : kFontFiles) {
        if (QFontDatabase::addApplicationFont(file) < 0) {
            qWarning("Font not loaded: %s", qPrintable(file));
            all = false;
        }
    }
    return all;
}

void AppResources::registerQmlTypes() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    qmlRegisterSingletonType<AppResources>(
        "Korvane", 1, 0, "Resources",
        [](QQmlEngine*, QJSEngine*) -> QObject* { return new AppResources; });
    qmlRegisterType<WindowBorderModifier>("Korvane", 1, 0, "WindowBorderModifier");
}

}  // namespace desktop
