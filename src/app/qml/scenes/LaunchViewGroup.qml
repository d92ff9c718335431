import QtQuick
import Korvane.App
import "../views"

Window {
    id: window
    width: 405
    height: 350
    color: "transparent"

    required property LaunchScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)

    onAppeared: {
        launchView.pulse = true
        model.onAppear()
    }

    LaunchView {
        id: launchView
        anchors.fill: parent
    }
}
