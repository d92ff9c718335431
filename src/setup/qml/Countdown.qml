import QtQuick
import Korvane 1.0
import Korvane.Setup

Window {
    id: window
    width: 400
    height: 300
    color: Resources.color("application_background_black")

    required property CountdownScene model

    signal appeared()
}
