import QtQuick
import Korvane 1.0
import Korvane.Setup

// The session preparation page.
Rectangle {
    required property PrepareSessionScene model
    objectName: "preparePage"
    implicitWidth: 350
    implicitHeight: 600
    radius: 12
    color: Resources.color("application_background_black")
    border.width: 2
    border.color: Resources.color("light_black")
}
