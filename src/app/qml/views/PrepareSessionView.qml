import QtQuick
import Korvane 1.0

// The session preparation page.
Rectangle {
    objectName: "preparePage"
    implicitWidth: 350
    implicitHeight: 600
    radius: 12
    color: Resources.color("application_background_black")
    border.width: 2
    border.color: Resources.color("light_black")
}
