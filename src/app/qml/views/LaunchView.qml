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
            scale: 1.0
            opacity: 0.7

            SequentialAnimation {
                running: root.pulse
                loops: Animation.Infinite
                ParallelAnimation {
                    NumberAnimation { target: logo; property: "scale"; from: 1.0; to: 1.06; duration: 1000; easing.type: Easing.InOutQuad }
                    NumberAnimation { target: logo; property: "opacity"; from: 0.7; to: 1.0; duration: 1000; easing.type: Easing.InOutQuad }
                }
                ParallelAnimation {
                    NumberAnimation { target: logo; property: "scale"; from: 1.06; to: 1.0; duration: 1000; easing.type: Easing.InOutQuad }
                    NumberAnimation { target: logo; property: "opacity"; from: 1.0; to: 0.7; duration: 1000; easing.type: Easing.InOutQuad }
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
