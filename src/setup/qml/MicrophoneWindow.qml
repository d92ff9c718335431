import QtQuick
import Korvane 1.0
import Korvane.Setup

Window {
    id: window
    width: 360
    height: 300
    color: Resources.color("application_background_black")

    required property MicrophonePickerScene model

    signal appeared()
}
