import QtQuick
import Korvane 1.0
import Korvane.Setup

// The start page's card.
Rectangle {
    required property StartRecordingScene model
    objectName: "startPage"
    implicitWidth: 234
    implicitHeight: 77
    radius: 12
    color: Resources.color("application_background_black")
    border.width: 2
    border.color: Resources.color("light_black")
}
