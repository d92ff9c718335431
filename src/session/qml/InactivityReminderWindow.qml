import QtQuick
import Korvane 1.0
import Korvane.Session

// The reminder card: the logo and one prompt. The scene places the window and closes it; this
// only shows what it chose.
Window {
    id: window
    width: 234
    height: 134
    color: "transparent"

    required property InactivityReminderScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)
    onAppeared: model.onAppear()

    Rectangle {
        anchors.fill: parent
        radius: 16
        color: Resources.color("application_background_black")
    }

    Column {
        anchors.left: parent.left
        anchors.leftMargin: 20
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        spacing: 12

        Image {
            width: 28
            height: 28
            source: Resources.image("kv_logo")
            sourceSize: Qt.size(56, 56)
            fillMode: Image.PreserveAspectFit
            smooth: true
        }
        Text {
            objectName: "reminderPrompt"
            width: parent.width
            text: window.model.viewModel.prompt
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            maximumLineCount: 2
            elide: Text.ElideRight
            horizontalAlignment: Text.AlignLeft
            color: Resources.color("font_white")
            font.family: Resources.onest
            font.pixelSize: 12
        }
    }
}
