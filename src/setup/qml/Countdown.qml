import QtQuick
import Korvane 1.0
import Korvane.Setup

// The countdown over the area about to be captured. The scene counts and places the window;
// this shows the number and the prompt over the darkened content.
Window {
    id: window
    width: 640
    height: 360
    color: model.isTranslucent ? "transparent" : "black"

    required property CountdownScene model

    signal appeared()

    // Before the window is shown: its place and its backdrop are decided first.
    Component.onCompleted: model.configureWindow(window)
    onAppeared: model.onAppear()
    onVisibleChanged: if (!visible) model.onDisappear()

    Rectangle {
        anchors.fill: parent
        visible: window.model.isTranslucent
        color: Qt.rgba(0, 0, 0, 0.6)
    }

    CountdownBackdrop {
        anchors.fill: parent
        visible: !window.model.isTranslucent
        image: window.model.snapshot
    }

    Column {
        anchors.centerIn: parent
        spacing: 24

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Your recording start in:"
            color: "white"
            font.pixelSize: 22
        }
        // Every digit takes the width of "0", as tabular figures would: the number sits still.
        Text {
            id: number
            objectName: "countdownNumber"
            anchors.horizontalCenter: parent.horizontalCenter
            width: digits.advanceWidth("0") * text.length
            horizontalAlignment: Text.AlignHCenter
            text: window.model.value
            color: "#34C759"
            font.pixelSize: 120
            font.bold: true

            FontMetrics {
                id: digits
                font: number.font
            }
        }
        Text {
            objectName: "countdownPrompt"
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(implicitWidth, window.width - 40)
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: window.model.viewModel.prompt
            textFormat: Text.PlainText
            color: "white"
            font.pixelSize: 18
        }
    }
}
