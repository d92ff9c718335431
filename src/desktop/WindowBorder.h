#pragma once

#include <QColor>
#include <QList>
#include <QPointer>
#include <QQuickItem>
#include <QQuickPaintedItem>
#include <QRectF>
#include <QVariantList>

#include <chrono>

class QQuickWindow;

namespace desktop {

// The accent border around one of the application's own windows: a rounded outline in one
// colour, or a gradient running from the top-left to the bottom-right corner.
struct WindowBorderStyle {
    QColor color;
    // Two or more colours make the gradient; fewer leave the solid colour in charge.
    QList<QColor> gradientColors;
    double width = 0;
    double cornerRadius = 0;

    bool isGradient() const { return gradientColors.size() >= 2; }
    friend bool operator==(const WindowBorderStyle&, const WindowBorderStyle&) = default;
};

// The border's rectangle inside bounds: inset by half the line width on every side, so the whole
// stroke stays inside the window.
QRectF windowBorderRect(const QRectF& bounds, double width);

// windowBorderLayerName is the object name of the one border item on a window's root item.
inline constexpr const char* windowBorderLayerName = "KVWindowBorderLayer";

// WindowBorderLayer draws the border. Its style is fixed at creation (a change of style is a new
// layer), so it repaints only when its size changes. It sizes itself to its parent item: the
// window's root grows and shrinks with the window, and the border has to follow.
class WindowBorderLayer final : public QQuickPaintedItem {
    Q_OBJECT

  public:
    explicit WindowBorderLayer(WindowBorderStyle style, QQuickItem* parent = nullptr);

    const WindowBorderStyle& style() const { return m_style; }
    void paint(QPainter* painter) override;

  protected:
    void itemChange(ItemChange change, const ItemChangeData& value) override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;

  private:
    void followParentSize();

    WindowBorderStyle m_style;
    QMetaObject::Connection m_widthWatch;
    QMetaObject::Connection m_heightWatch;
};

// Puts the border on the window's root item in place of any earlier one; the root's other
// children keep their order. With a fade, the earlier border dissolves over the new one for that
// long (ease-in-out) instead of vanishing at once. Returns the new layer.
WindowBorderLayer* applyWindowBorder(QQuickWindow& window, const WindowBorderStyle& style,
                                     std::chrono::milliseconds fade = std::chrono::milliseconds(0));

// WindowBorderModifier is placed in a view to border the window that shows the view. It applies
// the border on a later main-queue turn, once the view sits in its window, and again whenever a
// value changes; outside a window it does nothing until a later change or until it gets one.
// The border stays on the window when the view goes away: the next application replaces it.
class WindowBorderModifier : public QQuickItem {
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(QVariantList gradientColors READ gradientColors WRITE setGradientColors NOTIFY
                   gradientColorsChanged)
    Q_PROPERTY(double borderWidth READ borderWidth WRITE setBorderWidth NOTIFY borderWidthChanged)
    Q_PROPERTY(
        double cornerRadius READ cornerRadius WRITE setCornerRadius NOTIFY cornerRadiusChanged)
    // How long a change of style takes to show, in milliseconds; 0 switches at once.
    Q_PROPERTY(int fadeDuration READ fadeDuration WRITE setFadeDuration NOTIFY fadeDurationChanged)

  public:
    explicit WindowBorderModifier(QQuickItem* parent = nullptr);

    QColor color() const { return m_style.color; }
    void setColor(const QColor& color);
    QVariantList gradientColors() const;
    void setGradientColors(const QVariantList& colors);
    double borderWidth() const { return m_style.width; }
    void setBorderWidth(double width);
    double cornerRadius() const { return m_style.cornerRadius; }
    void setCornerRadius(double radius);
    int fadeDuration() const { return m_fadeDuration; }
    void setFadeDuration(int milliseconds);

    const WindowBorderStyle& style() const { return m_style; }

  signals:
    void colorChanged();
    void gradientColorsChanged();
    void borderWidthChanged();
    void cornerRadiusChanged();
    void fadeDurationChanged();

  protected:
    void componentComplete() override;

  private:
    void scheduleApply();
    void apply();

    WindowBorderStyle m_style;
    int m_fadeDuration = 0;
    bool m_applyScheduled = false;
    // Where this modifier last drew: only its own later changes fade, not its first appearance
    // over whatever border another view left on the window.
    QPointer<QQuickWindow> m_appliedTo;
};

}  // namespace desktop
