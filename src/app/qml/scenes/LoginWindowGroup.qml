import QtQuick
import Korvane 1.0
import "../views"

Window {
    id: window
    width: 400
    height: 700
    title: "Korvane"
    color: Resources.color("application_background_black")

    signal appeared()

    LoginView {
        anchors.fill: parent
        scene: korvaneApp.makeLoginScene(window)
    }
}
