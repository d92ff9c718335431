import QtQuick
import Korvane 1.0

Window {
    id: window
    width: 360
    height: 120
    color: Resources.color("application_background_black")

    signal appeared()
}
