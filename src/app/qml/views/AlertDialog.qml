import QtQuick
import QtQuick.Controls
import Korvane 1.0

// A modal alert in the window: a title, a message and one "OK" button that only closes it.
Popup {
    id: alert

    property string title
    property string message

    anchors.centerIn: Overlay.overlay
    width: Math.min(300, parent ? parent.width - 40 : 300)
    modal: true
    focus: true
    padding: 20
    closePolicy: Popup.CloseOnEscape

    Overlay.modal: Rectangle { color: Qt.rgba(0, 0, 0, 0.45) }

    background: Rectangle {
        radius: 12
        color: Resources.color("light_black")
        border.width: 1
        border.color: Resources.color("application_border_gray")
    }

    contentItem: Column {
        spacing: 12
        focus: true
        Keys.onReturnPressed: alert.close()
        Keys.onEnterPressed: alert.close()
        Text {
            width: parent.width
            text: alert.title
            color: Resources.color("font_white")
            font.family: Resources.onest
            font.pixelSize: 16
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
        }
        Text {
            width: parent.width
            text: alert.message
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: Resources.color("font_white")
            font.family: Resources.onest
            font.pixelSize: 13
            horizontalAlignment: Text.AlignHCenter
        }
        Item { width: 1; height: 4 }
        Rectangle {
            id: okButton
            width: parent.width
            height: 32
            radius: 8
            color: okArea.pressed ? Qt.darker(Resources.color("application_green"), 1.2)
                                  : Resources.color("application_green")
            Text {
                anchors.centerIn: parent
                text: "OK"
                color: Resources.color("application_background_black")
                font.family: Resources.onest
                font.pixelSize: 14
                font.bold: true
            }
            MouseArea {
                id: okArea
                anchors.fill: parent
                cursorShape: Qt.PointingHandCursor
                onClicked: alert.close()
            }
        }
    }
}
