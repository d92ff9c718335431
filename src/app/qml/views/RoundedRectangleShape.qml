import QtQuick
import QtQuick.Shapes

// A rounded rectangle that can be filled with a gradient in any direction.
Shape {
    id: shape

    property real radius: 12
    property real inset: 0
    property alias fillGradient: path.fillGradient
    property alias fillColor: path.fillColor

    readonly property real x0: inset
    readonly property real y0: inset
    readonly property real x1: width - inset
    readonly property real y1: height - inset
    readonly property real corner: Math.max(0, Math.min(radius, (x1 - x0) / 2, (y1 - y0) / 2))


    ShapePath {
        id: path
        strokeWidth: -1
        strokeColor: "transparent"
        // Opaque so a gradient is drawn at all; the gradient takes its place.
        fillColor: "white"
        startX: shape.x0 + shape.corner
        startY: shape.y0
        PathLine { x: shape.x1 - shape.corner; y: shape.y0 }
        PathArc { x: shape.x1; y: shape.y0 + shape.corner; radiusX: shape.corner; radiusY: shape.corner }
        PathLine { x: shape.x1; y: shape.y1 - shape.corner }
        PathArc { x: shape.x1 - shape.corner; y: shape.y1; radiusX: shape.corner; radiusY: shape.corner }
        PathLine { x: shape.x0 + shape.corner; y: shape.y1 }
        PathArc { x: shape.x0; y: shape.y1 - shape.corner; radiusX: shape.corner; radiusY: shape.corner }
        PathLine { x: shape.x0; y: shape.y0 + shape.corner }
        PathArc { x: shape.x0 + shape.corner; y: shape.y0; radiusX: shape.corner; radiusY: shape.corner }
    }
}
