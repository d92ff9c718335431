import QtQuick
import Korvane 1.0
import Korvane.Setup

// The start page: one dark card that leads to the session preparation. The scene decides; this
// shows the card and passes the pointer on.
Item {
    id: root
    objectName: "startPage"
    implicitWidth: 234
    implicitHeight: 77

    required property StartRecordingScene model

    Component.onCompleted: model.onAppear()

    // The card's layers, back to front.
    Rectangle {
        anchors.fill: parent
        radius: 12
        color: Resources.color("application_background_black")
    }
    Rectangle {
        anchors.fill: parent
        radius: 12
        gradient: Gradient {
            GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.28) }
            GradientStop { position: 1 / 3; color: Qt.rgba(0, 0, 0, 0.18) }
            GradientStop { position: 2 / 3; color: Qt.rgba(0, 0, 0, 0.08) }
            GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0) }
        }
    }
    Rectangle {
        anchors.fill: parent
        radius: 12
        gradient: Gradient {
            orientation: Gradient.Horizontal
            GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.2) }
            GradientStop { position: 0.5; color: Qt.rgba(0, 0, 0, 0) }
            GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0.2) }
        }
    }
    Rectangle {
        anchors.fill: parent
        radius: 12
        gradient: Gradient {
            GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.24) }
            GradientStop { position: 0.5; color: Qt.rgba(0, 0, 0, 0) }
        }
    }

    Row {
        x: 17
        y: 19
        spacing: 12

        Image {
            anchors.verticalCenter: parent.verticalCenter
            width: 40
            height: 40
            source: Resources.tintedImage("start_session_img", Resources.color("application_green"))
            sourceSize: Qt.size(80, 80)
            fillMode: Image.PreserveAspectFit
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: "Start Your Session"
            color: Resources.color("font_white")
            font.family: Resources.onest
            font.pixelSize: 16
            maximumLineCount: 1
            wrapMode: Text.NoWrap
        }
    }

    // The whole card: a click starts, a drag moves the window, resting on it lights the border.
    MouseArea {
        id: card
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: root.model.cursorShape

        property point pressedAt
        property bool dragging: false

        onEntered: root.model.hoverStartSession(true)
        onExited: root.model.hoverStartSession(false)
        onPressed: (mouse) => {
            pressedAt = Qt.point(mouse.x, mouse.y)
            dragging = false
        }
        onPositionChanged: (mouse) => {
            if (!pressed || dragging)
                return
            const distance = Math.max(Math.abs(mouse.x - pressedAt.x), Math.abs(mouse.y - pressedAt.y))
            if (distance >= Qt.styleHints.startDragDistance) {
                dragging = true
                root.model.startWindowDrag()
            }
        }
        // The window manager may hand the button back at the end of a move: that is no click.
        onClicked: {
            if (!dragging)
                root.model.startSession()
        }
    }

    WindowBorderModifier {
        color: root.model.windowBorderColor
        gradientColors: root.model.windowBorderGradientColors
        borderWidth: 2
        cornerRadius: 12
        fadeDuration: root.model.windowBorderFadeDuration
    }
}
