import QtQuick
import Korvane 1.0
import "../views"

// The main window: its page follows the persisted navigation.
Window {
    id: window
    width: page.item ? page.item.implicitWidth : 400
    height: page.item ? page.item.implicitHeight : 700
    color: Resources.color("application_background_black")

    signal appeared()

    readonly property string navigation: korvaneApp.navigation.page

    Loader {
        id: page
        anchors.fill: parent
        sourceComponent: {
            switch (window.navigation) {
            case "startSession":
            case "endSession":
                return startPage
            case "prepareSession":
                return preparePage
            default:
                return loginPage
            }
        }
    }

    Component {
        id: loginPage
        LoginView {
            id: loginView
            scene: korvaneApp.makeLoginScene(loginView)
        }
    }
    Component {
        id: startPage
        StartRecordingView {}
    }
    Component {
        id: preparePage
        PrepareSessionView {}
    }
}
