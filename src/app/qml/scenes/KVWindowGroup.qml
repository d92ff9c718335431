import QtQuick
import Korvane 1.0
import Korvane.App

// The main window: its page follows the persisted navigation, each page built with its own logic.
Window {
    id: window
    width: page.item ? page.item.implicitWidth : 400
    height: page.item ? page.item.implicitHeight : 700
    color: "transparent"

    required property MainWindowScene model

    signal appeared()

    function showPage() {
        page.setSource(model.pageSource, {"model": model.pageModel})
    }

    Connections {
        target: window.model
        function onPageChanged() { window.showPage() }
    }
    Component.onCompleted: {
        showPage()
        model.configureWindow(window)
    }

    Loader {
        id: page
        anchors.fill: parent
    }
}
