import QtQuick
import QtQuick.Controls
import Korvane 1.0

// One input of the sign-in form: its own placeholder, a rounded border that brightens with focus.
Item {
    id: input

    property string placeholder
    property bool secure: false
    property string text
    readonly property alias field: field

    signal edited(string value)
    signal focused()
    signal submitted()

    implicitHeight: field.implicitHeight

    TextField {
        id: field
        x: 16
        width: parent.width - 32
        leftPadding: 11
        rightPadding: 10
        topPadding: 10
        bottomPadding: 10
        text: input.text
        echoMode: input.secure ? TextInput.Password : TextInput.Normal
        color: Resources.color("font_white")
        selectionColor: Resources.color("application_green")
        selectedTextColor: Resources.color("application_background_black")
        font.family: Resources.onest
        font.pixelSize: 15
        placeholderText: ""
        background: Rectangle {
            radius: 8
            color: "transparent"
            border.width: 1
            border.color: Qt.rgba(0.557, 0.557, 0.576, field.activeFocus ? 0.6 : 0.35)
        }
        onTextEdited: input.edited(text)
        onActiveFocusChanged: if (activeFocus) input.focused()
        Keys.onReturnPressed: (event) => { input.submitted(); event.accepted = true }
        Keys.onEnterPressed: (event) => { input.submitted(); event.accepted = true }
    }

    Text {
        x: 25
        anchors.verticalCenter: field.verticalCenter
        rightPadding: 10
        visible: input.text.length === 0
        text: input.placeholder
        color: Resources.color("font_gray")
        font.family: Resources.onest
        font.pixelSize: 15
    }
}
