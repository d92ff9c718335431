#include "desktop/WindowBorder.h"

#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPropertyAnimation>
#include <QQuickWindow>

#include <algorithm>
#include <cmath>

namespace desktop {

QRectF windowBorderRect(const QRectF& bounds, double width) {
    const double inset = std::isfinite(width) ? std::max(width, 0.0) / 2 : 0.0;
    const QRectF rect = bounds.adjusted(inset, inset, -inset, -inset);
    // A line wider than the window leaves nothing to go round; never a negative size.
    return {rect.x(), rect.y(), std::max(rect.width(), 0.0), std::max(rect.height(), 0.0)};
}

// ---- WindowBorderLayer ----

WindowBorderLayer::WindowBorderLayer(WindowBorderStyle style, QQuickItem* parent)
    : QQuickPaintedItem(parent), m_style(std::move(style)) {
    setObjectName(QLatin1String(windowBorderLayerName));
    setAntialiasing(true);
    // Decoration only: clicks and hovers go to the content below.
    setAcceptedMouseButtons(Qt::NoButton);
    setAcceptHoverEvents(false);
    followParentSize();
}

void WindowBorderLayer::paint(QPainter* painter) {
    const QRectF rect = windowBorderRect(boundingRect(), m_style.width);
    if (m_style.width <= 0 || rect.isEmpty()) {
        return;
    }
    QPen pen;
    pen.setWidthF(m_style.width);
    if (m_style.isGradient()) {
        const QRectF bounds = boundingRect();
        QLinearGradient gradient(bounds.topLeft(), bounds.bottomRight());
        const qsizetype last = m_style.gradientColors.size() - 1;
        for (qsizetype i = 0; i <= last; ++i) {
            gradient.setColorAt(double(i) / double(last), m_style.gradientColors[i]);
        }
        pen.setBrush(gradient);
    } else {
        pen.setColor(m_style.color);
    }
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(rect, m_style.cornerRadius, m_style.cornerRadius);
}

void WindowBorderLayer::itemChange(ItemChange change, const ItemChangeData& value) {
    QQuickPaintedItem::itemChange(change, value);
    if (change == ItemParentHasChanged) {
        followParentSize();
    }
}

void WindowBorderLayer::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) {
    QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size()) {
        update();
    }
}

void WindowBorderLayer::followParentSize() {
    disconnect(m_widthWatch);
    disconnect(m_heightWatch);
    QQuickItem* parent = parentItem();
    if (!parent) {
        return;
    }
    setPosition({0, 0});
    setSize(parent->size());
    m_widthWatch = connect(parent, &QQuickItem::widthChanged, this,
                           [this, parent] { setWidth(parent->width()); });
    m_heightWatch = connect(parent, &QQuickItem::heightChanged, this,
                            [this, parent] { setHeight(parent->height()); });
}

// ---- applyWindowBorder ----

namespace {

// The outgoing border rides on the new one, so it stays sized with the window and goes with it,
// and fades out over it. Anything it was itself still fading out goes now.
void fadeOut(WindowBorderLayer& old, WindowBorderLayer& successor, std::chrono::milliseconds fade) {
    const QObjectList children = old.children();
    for (QObject* child : children) {
        if (qobject_cast<WindowBorderLayer*>(child)) {
            delete child;
        }
    }
    old.setObjectName(QString());
    old.setParent(&successor);
    old.setParentItem(&successor);
    auto* animation = new QPropertyAnimation(&old, "opacity", &old);
    animation->setStartValue(old.opacity());
    animation->setEndValue(0.0);
    animation->setDuration(int(fade.count()));
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    QObject::connect(animation, &QAbstractAnimation::finished, &old, &QObject::deleteLater);
    animation->start();
}

}  // namespace

WindowBorderLayer* applyWindowBorder(QQuickWindow& window, const WindowBorderStyle& style,
                                     std::chrono::milliseconds fade) {
    QQuickItem* root = window.contentItem();
    if (!root) {
        return nullptr;
    }
    std::vector<WindowBorderLayer*> earlier;
    for (QQuickItem* child : root->childItems()) {
        if (child->objectName() == QLatin1String(windowBorderLayerName)) {
            if (auto* layer = qobject_cast<WindowBorderLayer*>(child)) {
                earlier.push_back(layer);
                continue;
            }
            // Someone else's item under the border's name: out it goes all the same, there is
            // one border per window.
            child->setParentItem(nullptr);
            child->deleteLater();
        }
    }
    // Owned by the root, so it goes with the window; appended, so it draws above the content.
    auto* layer = new WindowBorderLayer(style, root);
    layer->setParent(root);
    for (WindowBorderLayer* old : earlier) {
        if (fade.count() > 0 && old == earlier.back()) {
            fadeOut(*old, *layer, fade);
        } else {
            old->setParentItem(nullptr);
            delete old;
        }
    }
    return layer;
}

// ---- WindowBorderModifier ----

WindowBorderModifier::WindowBorderModifier(QQuickItem* parent) : QQuickItem(parent) {
    connect(this, &QQuickItem::windowChanged, this, &WindowBorderModifier::scheduleApply);
}

void WindowBorderModifier::setColor(const QColor& color) {
    if (!platform::assignIfChanged(m_style.color, color)) {
        return;
    }
    emit colorChanged();
    scheduleApply();
}

QVariantList WindowBorderModifier::gradientColors() const {
    QVariantList list;
    for (const QColor& color : m_style.gradientColors) {
        list.append(QVariant::fromValue(color));
    }
    return list;
}

void WindowBorderModifier::setGradientColors(const QVariantList& colors) {
    QList<QColor> converted;
    for (const QVariant& value : colors) {
        // Colour names and "#rrggbb" texts from QML convert as well as colour values.
        const QColor color = value.value<QColor>();
        if (color.isValid()) {
            converted.append(color);
        } else {
            qWarning("WindowBorderModifier: not a colour: %s", qPrintable(value.toString()));
        }
    }
    if (!platform::assignIfChanged(m_style.gradientColors, std::move(converted))) {
        return;
    }
    emit gradientColorsChanged();
    scheduleApply();
}

void WindowBorderModifier::setBorderWidth(double width) {
    if (!platform::assignIfChanged(m_style.width, width)) {
        return;
    }
    emit borderWidthChanged();
    scheduleApply();
}

void WindowBorderModifier::setCornerRadius(double radius) {
    if (!platform::assignIfChanged(m_style.cornerRadius, radius)) {
        return;
    }
    emit cornerRadiusChanged();
    scheduleApply();
}

void WindowBorderModifier::setFadeDuration(int milliseconds) {
    if (!platform::assignIfChanged(m_fadeDuration, milliseconds)) {
        return;
    }
    emit fadeDurationChanged();
}

void WindowBorderModifier::componentComplete() {
    QQuickItem::componentComplete();
    scheduleApply();
}

void WindowBorderModifier::scheduleApply() {
    // Values set one after another while QML builds the view come out as one border. Not before
    // the component is complete: the first border has all its values.
    if (m_applyScheduled || !isComponentComplete()) {
        return;
    }
    m_applyScheduled = true;
    platform::MainQueue::post([self = QPointer(this)] {
        if (self) {
            self->m_applyScheduled = false;
            self->apply();
        }
    });
}

void WindowBorderModifier::apply() {
    QQuickWindow* target = window();
    if (!target) {
        return;
    }
    const auto fade = target == m_appliedTo ? std::chrono::milliseconds(std::max(m_fadeDuration, 0))
                                            : std::chrono::milliseconds(0);
    applyWindowBorder(*target, m_style, fade);
    m_appliedTo = target;
}

}  // namespace desktop
