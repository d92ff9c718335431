import QtQuick
import "../views"

Window {
    id: window
    width: 405
    height: 350
    color: "transparent"

    signal appeared()

    property var scene: korvaneApp.makeLaunchScene(window)

    onAppeared: {
        launchView.pulse = true
        scene.onAppear()
    }

    LaunchView {
        id: launchView
        anchors.fill: parent
    }
}
