import QtQuick
import QtQuick.Shapes

// The Login button's green glass: a diagonal gradient with a soft centre light, and a border
// whose bright parts move from the middle to the corners while the pointer is over it.
Item {
    id: root

    // 0: bright in the middle of the border, 1: bright at its ends.
    property real edgeEmphasis: 0

    readonly property color bright: Qt.rgba(0.239, 1.0, 0.565, 1)
    readonly property color dark: Qt.rgba(0.024, 0.345, 0.161, 1)

    function mix(a, b, t) {
        return Qt.rgba(a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, 1)
    }

    // Shadow: black at a quarter, 4 below, softened by a few spread layers.
    Repeater {
        model: 4
        Rectangle {
            required property int index
            x: -index
            y: 4 - index
            width: root.width + 2 * index
            height: root.height + 2 * index
            radius: 12 + index
            color: Qt.rgba(0, 0, 0, 0.25 / (index + 2))
        }
    }

    // The border: the full shape in the border gradient, the fill drawn one point inside it.
    RoundedRectangleShape {
        anchors.fill: parent
        radius: 12
        fillGradient: LinearGradient {
            x1: 0; y1: 0
            x2: root.width; y2: root.height
            GradientStop { position: 0.0; color: root.mix(root.dark, root.bright, root.edgeEmphasis) }
            GradientStop { position: 0.5; color: root.mix(root.bright, root.dark, root.edgeEmphasis) }
            GradientStop { position: 1.0; color: root.mix(root.dark, root.bright, root.edgeEmphasis) }
        }
    }
    RoundedRectangleShape {
        anchors.fill: parent
        inset: 1
        radius: 11
        fillGradient: LinearGradient {
            x1: 0; y1: 0
            x2: root.width; y2: root.height
            GradientStop { position: 0.0; color: Qt.rgba(0.015, 0.145, 0.1, 1) }
            GradientStop { position: 0.45; color: Qt.rgba(0.02, 0.2, 0.14, 1) }
            GradientStop { position: 1.0; color: Qt.rgba(0.024, 0.3, 0.18, 1) }
        }
    }
    RoundedRectangleShape {
        anchors.fill: parent
        inset: 1
        radius: 11
        fillGradient: RadialGradient {
            centerX: root.width / 2; centerY: root.height / 2; centerRadius: 220
            focalX: centerX; focalY: centerY; focalRadius: 0
            GradientStop { position: 0.0; color: Qt.rgba(1, 1, 1, 0.05) }
            GradientStop { position: 1.0; color: Qt.rgba(1, 1, 1, 0) }
        }
    }
    // A faint dark edge and a fainter light one just inside it.
    Rectangle {
        anchors.fill: parent
        radius: 12
        color: "transparent"
        border.width: 1
        border.color: Qt.rgba(0.031, 0.031, 0.031, 0.16)
    }
    Rectangle {
        anchors.fill: parent
        anchors.margins: 0.5
        radius: 11.5
        color: "transparent"
        border.width: 1
        border.color: Qt.rgba(1, 1, 1, 0.06)
    }
}
