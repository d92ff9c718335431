import QtQuick
import Korvane 1.0

Window {
    id: window
    width: 300
    height: 60
    color: Resources.color("application_background_black")

    signal appeared()
}
