import QtQuick
import Korvane 1.0

// The launch card: the maker's logo breathing while the stored sign-in is checked.
Item {
    id: root
    implicitWidth: 405
    implicitHeight: 350

    property bool pulse: false

    Rectangle {
        id: card
        anchors.fill: parent
        radius: 12
        color: Resources.color("application_background_black")

        Image {
            id: logo
            anchors.centerIn: parent
            width: 200
            height: 200
            source: Resources.image("Vantrel")
            sourceSize: Qt.size(400, 400)
            fillMode: Image.PreserveAspectFit
            smooth: true

            // 0 at rest, 1 at the top of a breath: two seconds in and out, eased both ways.
            property real breath: 0
            scale: 1.0 + 0.06 * breath
            opacity: 0.7 + 0.3 * breath

            // Fifteen steps a second look as smooth at this size, and each step costs one frame.
            // An animation would draw sixty, and a software renderer redraws the whole window
            // for every one of them.
            Timer {
                readonly property int stepsPerWay: 15
                property int step: 0
                interval: 1000 / stepsPerWay
                repeat: true
                running: root.pulse
                onTriggered: {
                    step = (step + 1) % (2 * stepsPerWay)
                    const way = step < stepsPerWay ? step : 2 * stepsPerWay - step
                    const u = way / stepsPerWay
                    logo.breath = u < 0.5 ? 2 * u * u : 1 - 2 * (1 - u) * (1 - u)
                }
            }
        }
    }

    // Outer border, then a faint inner highlight one point inside it.
    Rectangle {
        anchors.fill: parent
        radius: 12
        color: "transparent"
        border.width: 2
        border.color: Resources.colorWithAlpha("light_black", 0.9)
    }
    Rectangle {
        anchors.fill: parent
        anchors.margins: 1
        radius: 11
        color: "transparent"
        border.width: 1
        border.color: Qt.rgba(1, 1, 1, 0.06)
    }

    // The window has no title bar: dragging the card moves it.
    MouseArea {
        anchors.fill: parent
        onPressed: root.Window.window && root.Window.window.startSystemMove()
    }
}
