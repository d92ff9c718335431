import QtQuick
import Korvane 1.0
import Korvane.Session

Window {
    id: window
    width: 360
    height: 120
    color: Resources.color("application_background_black")

    required property InactivityReminderScene model

    signal appeared()
}
