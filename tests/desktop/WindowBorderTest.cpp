// The accent border of the application's own windows: one border item per window, drawn inside
// the window's edge, following the window's size.
#include "desktop/AppResources.h"
#include "desktop/WindowBorder.h"

#include "Pump.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <memory>

using desktop::WindowBorderLayer;
using desktop::WindowBorderStyle;

namespace {

#define SKIP_WITHOUT_GUI()                                                               \
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {                 \
        GTEST_SKIP() << "no X display: run under the virtual desktop (scripts/test.sh)"; \
    }

const QColor kGreen(0x34, 0xC7, 0x59);

// The root's children by name, in stacking order; the border shows as "border" or "gradient".
std::vector<std::string> childNames(QQuickItem* root) {
    std::vector<std::string> names;
    for (QQuickItem* child : root->childItems()) {
        if (auto* layer = qobject_cast<WindowBorderLayer*>(child);
            layer && child->objectName() == QLatin1String(desktop::windowBorderLayerName)) {
            names.push_back(layer->style().isGradient() ? "gradient" : "border");
        } else {
            names.push_back(child->objectName().toStdString());
        }
    }
    return names;
}

WindowBorderLayer* borderOf(QQuickWindow& window) {
    WindowBorderLayer* found = nullptr;
    for (QQuickItem* child : window.contentItem()->childItems()) {
        if (child->objectName() == QLatin1String(desktop::windowBorderLayerName)) {
            EXPECT_EQ(found, nullptr) << "more than one border on the window";
            found = qobject_cast<WindowBorderLayer*>(child);
        }
    }
    return found;
}

QImage painted(WindowBorderLayer& layer) {
    QImage image(layer.size().toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    layer.paint(&painter);
    return image;
}

}  // namespace

TEST(WindowBorderTest, TheBorderLiesInsideTheWindowByHalfItsWidth) {
    EXPECT_EQ(desktop::windowBorderRect({0, 0, 900, 600}, 2), QRectF(1, 1, 898, 598));
    EXPECT_EQ(desktop::windowBorderRect({0, 0, 234, 77}, 0), QRectF(0, 0, 234, 77));
    const QRectF tooWide = desktop::windowBorderRect({0, 0, 10, 10}, 30);
    EXPECT_GE(tooWide.width(), 0);
    EXPECT_GE(tooWide.height(), 0);
}

TEST(WindowBorderTest, ThePaintedBorderRunsAlongTheEdgeInItsColourOrGradient) {
    SKIP_WITHOUT_GUI();
    WindowBorderLayer solid({QColor(Qt::red), {}, 2, 12});
    solid.setSize({100, 60});
    QImage image = painted(solid);
    EXPECT_EQ(image.pixelColor(1, 30).rgb(), QColor(Qt::red).rgb()) << "the left edge";
    EXPECT_EQ(image.pixelColor(50, 58).rgb(), QColor(Qt::red).rgb()) << "the bottom edge";
    EXPECT_EQ(image.pixelColor(50, 30).alpha(), 0) << "nothing inside";
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "the corner is rounded off";

    // A single colour is no gradient: the plain colour is drawn.
    WindowBorderLayer oneColour({QColor(Qt::red), {kGreen}, 2, 12});
    oneColour.setSize({100, 60});
    EXPECT_EQ(painted(oneColour).pixelColor(1, 30).rgb(), QColor(Qt::red).rgb());

    WindowBorderLayer gradient({QColor(Qt::red), {kGreen, QColor(Qt::blue)}, 2, 12});
    gradient.setSize({100, 60});
    image = painted(gradient);
    const QColor nearStart = image.pixelColor(14, 1);
    const QColor nearEnd = image.pixelColor(86, 58);
    EXPECT_GT(nearStart.green(), nearStart.blue()) << "green at the top-left";
    EXPECT_GT(nearEnd.blue(), nearEnd.green()) << "blue at the bottom-right";
}

TEST(WindowBorderTest, ApplyingReplacesTheOneBorderAndLeavesTheRestInOrder) {
    SKIP_WITHOUT_GUI();
    QQuickWindow window;
    window.resize(900, 600);
    QQuickItem* root = window.contentItem();
    for (const char* name : {"a", "b"}) {
        (new QQuickItem(root))->setObjectName(QLatin1String(name));
    }
    const WindowBorderStyle plain{QColor(0x1F, 0x22, 0x26), {}, 2, 12};
    const WindowBorderStyle green{plain.color, {kGreen, QColor(0x34, 0xC7, 0x59, 102)}, 2, 12};

    desktop::applyWindowBorder(window, plain);
    desktop::applyWindowBorder(window, plain);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b", "border"}));

    (new QQuickItem(root))->setObjectName(QStringLiteral("c"));
    desktop::applyWindowBorder(window, green);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b", "c", "gradient"}));
    desktop::applyWindowBorder(window, plain);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b", "c", "border"}));

    // A faded change keeps the old border only as a fading part of the new one, then drops it.
    WindowBorderLayer* current =
        desktop::applyWindowBorder(window, green, std::chrono::milliseconds(50));
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b", "c", "gradient"}));
    ASSERT_EQ(current->childItems().size(), 1);
    EXPECT_FALSE(
        qobject_cast<WindowBorderLayer*>(current->childItems().first())->style().isGradient());
    EXPECT_TRUE(pumpUntil([&] { return current->childItems().isEmpty(); }));
    EXPECT_EQ(borderOf(window), current);
}

TEST(WindowBorderTest, TheBorderFollowsTheWindowsSize) {
    SKIP_WITHOUT_GUI();
    QQuickWindow window;
    window.resize(234, 77);
    window.show();
    ASSERT_TRUE(pumpUntil([&] { return window.contentItem()->size() == QSizeF(234, 77); }));
    desktop::applyWindowBorder(window, {QColor(Qt::red), {}, 2, 12});

    // The main window takes the size of its next page after the border was drawn.
    window.resize(900, 600);
    ASSERT_TRUE(pumpUntil([&] { return window.contentItem()->size() == QSizeF(900, 600); }));
    WindowBorderLayer* layer = borderOf(window);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->size(), QSizeF(900, 600));
    EXPECT_EQ(desktop::windowBorderRect(layer->boundingRect(), 2), QRectF(1, 1, 898, 598));
    EXPECT_EQ(painted(*layer).pixelColor(899 - 1, 300).rgb(), QColor(Qt::red).rgb())
        << "drawn along the new right edge";
}

TEST(WindowBorderTest, TheModifierBordersItsViewsWindowOnceItHasOne) {
    SKIP_WITHOUT_GUI();
    QQmlEngine engine;
    desktop::AppResources::registerQmlTypes();
    QQmlComponent component(&engine);
    component.setData(R"(
        import QtQuick
        import Korvane 1.0
        Item {
            property alias modifier: modifier
            WindowBorderModifier {
                id: modifier
                color: "red"
                borderWidth: 2
                cornerRadius: 12
            }
        })",
                      QUrl());
    std::unique_ptr<QObject> made(component.create());
    ASSERT_NE(made, nullptr) << component.errorString().toStdString();
    auto* view = qobject_cast<QQuickItem*>(made.get());
    auto* modifier = made->property("modifier").value<QQuickItem*>();
    ASSERT_NE(modifier, nullptr);

    // Not in a window: a change draws nothing and breaks nothing.
    modifier->setProperty("cornerRadius", 10);
    pumpFor(20);

    QQuickWindow window;
    window.resize(300, 200);
    view->setParentItem(window.contentItem());
    EXPECT_EQ(borderOf(window), nullptr) << "applied on a later turn, not at once";
    ASSERT_TRUE(pumpUntil([&] { return borderOf(window) != nullptr; }));
    EXPECT_EQ(borderOf(window)->style(), (WindowBorderStyle{QColor(Qt::red), {}, 2, 10}));

    modifier->setProperty("gradientColors",
                          QVariantList{QStringLiteral("#34C759"), QColor(Qt::blue)});
    ASSERT_TRUE(pumpUntil([&] { return borderOf(window)->style().isGradient(); }));
    EXPECT_EQ(borderOf(window)->style().gradientColors, (QList<QColor>{kGreen, QColor(Qt::blue)}));

    // The border stays when the view goes.
    made.reset();
    pumpFor(20);
    EXPECT_NE(borderOf(window), nullptr);
}
