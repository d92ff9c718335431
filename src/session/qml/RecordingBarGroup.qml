import QtQuick
import Korvane 1.0
import Korvane.Session

Window {
    id: window
    width: 300
    height: 60
    color: Resources.color("application_background_black")

    required property RecordingBarScene model

    signal appeared()
}
