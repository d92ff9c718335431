import QtQuick
import Korvane 1.0
import Korvane.App
import "../views"

Window {
    id: window
    width: 400
    height: 700
    title: "Korvane"
    color: Resources.color("application_background_black")

    required property LoginScene model

    signal appeared()

    LoginView {
        anchors.fill: parent
        model: window.model
    }
}
