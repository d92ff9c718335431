import QtQuick
import Korvane 1.0
import Korvane.Session

// The floating bar of a running session: Stop, the elapsed time, the microphone, Delete and
// Repeat on a dark pill. The scene decides everything; this shows it and passes events on.
Window {
    id: window
    width: 355
    height: 52
    color: "transparent"
    title: "RecordingBarWindow"

    required property RecordingBarScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)
    onAppeared: model.onAppear()
    onVisibleChanged: if (!visible) model.onDisappear()

    // A control of the bar: the scene's cursor while hovering, the scene's action on a click.
    component BarButton: Item {
        id: button
        property alias source: icon.source
        property int iconSize: 24
        property int cursorShape: Qt.ArrowCursor
        signal clicked()
        signal hoverChanged()

        width: 24
        height: 24

        Image {
            id: icon
            anchors.centerIn: parent
            width: button.iconSize
            height: button.iconSize
            sourceSize: Qt.size(button.iconSize, button.iconSize)
            fillMode: Image.PreserveAspectFit
        }
        MouseArea {
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: button.cursorShape
            onEntered: button.hoverChanged()
            onExited: button.hoverChanged()
            onClicked: button.clicked()
        }
    }

    component DividerLine: Rectangle {
        width: 1
        height: 52 - 2 * 10
        color: Resources.color("application_border_gray")
    }

    Rectangle {
        objectName: "pill"
        anchors.fill: parent
        radius: height / 2
        color: Resources.color("application_background_black")
        border.color: Resources.color("light_black")
        border.width: 1
    }

    // The bar moves with the pointer from anywhere that is not a control.
    MouseArea {
        anchors.fill: parent
        onPressed: window.model.dragWindow()
    }

    Row {
        anchors.centerIn: parent
        height: parent.height
        spacing: 24

        Item {
            width: 12 + 40
            height: parent.height
            BarButton {
                objectName: "stopButton"
                x: 12
                anchors.verticalCenter: parent.verticalCenter
                width: 40
                height: 40
                iconSize: 40
                source: Resources.image("stop_btn")
                cursorShape: window.model.cursorShape
                onHoverChanged: window.model.hoverChanged()
                onClicked: window.model.stopClicked()
            }
        }
        // As wide as its digits would be if each took the width of "0": the bar keeps still
        // while the seconds change.
        Text {
            id: elapsed
            objectName: "elapsedTime"
            anchors.verticalCenter: parent.verticalCenter
            width: digits.advanceWidth(text.replace(/[0-9]/g, "0"))
            horizontalAlignment: Text.AlignHCenter
            text: window.model.elapsedTimeText
            textFormat: Text.PlainText
            color: "white"
            font.family: Resources.interTight
            font.weight: Font.Medium
            font.pixelSize: 18

            FontMetrics {
                id: digits
                font: elapsed.font
            }
        }
        DividerLine { anchors.verticalCenter: parent.verticalCenter }
        BarButton {
            objectName: "microphoneButton"
            anchors.verticalCenter: parent.verticalCenter
            iconSize: 20
            source: Resources.tintedSymbol(window.model.microphoneIconName, "white")
            cursorShape: window.model.cursorShape
            onHoverChanged: window.model.hoverChanged()
            onClicked: window.model.microphoneClicked()
        }
        DividerLine { anchors.verticalCenter: parent.verticalCenter }
        BarButton {
            objectName: "deleteButton"
            anchors.verticalCenter: parent.verticalCenter
            source: Resources.image("kv_trash")
            cursorShape: window.model.cursorShape
            onHoverChanged: window.model.hoverChanged()
            onClicked: window.model.deleteClicked()
        }
        Item {
            width: 24 + 12
            height: parent.height
            BarButton {
                objectName: "repeatButton"
                anchors.verticalCenter: parent.verticalCenter
                source: Resources.image("kv_reapeat")
                cursorShape: window.model.cursorShape
                onHoverChanged: window.model.hoverChanged()
                onClicked: window.model.repeatClicked()
            }
        }
    }
}
