import QtQuick
import Korvane 1.0

// A system symbol as a button's face: 24 x 24 points, white.
Item {
    property string symbol

    implicitWidth: 24
    implicitHeight: 24

    Image {
        anchors.fill: parent
        source: parent.symbol.length > 0 ? Resources.tintedSymbol(parent.symbol, "white") : ""
        sourceSize: Qt.size(48, 48)
        fillMode: Image.PreserveAspectFit
    }
}
