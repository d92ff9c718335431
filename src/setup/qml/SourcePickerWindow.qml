import QtQuick
import Korvane 1.0
import Korvane.Setup

// The source picker: "Full screen" or "Specific window". The scene decides; this binds and
// forwards pointer events.
Window {
    id: window
    width: 378
    height: 280
    color: "transparent"

    required property SourcePickerScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)
    onAppeared: model.onAppear()

    component ChoiceCard: Item {
        id: card

        required property string symbol
        required property string title
        required property string fontFamily
        required property color titleColor
        required property bool marked
        required property bool highlighted

        signal hoverMoved(bool inside)
        signal clicked()

        width: parent.width
        height: 53

        Rectangle {
            id: face
            objectName: "face"
            anchors.centerIn: parent
            width: 330
            height: 53
            radius: 12
            color: Resources.color("dark_black")
            border.width: 1
            border.color: Resources.color(card.highlighted ? "application_green" : "light_black")

            Row {
                anchors.fill: parent
                anchors.margins: 15
                spacing: 15

                Image {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 24
                    height: 24
                    sourceSize: Qt.size(24, 24)
                    fillMode: Image.PreserveAspectFit
                    source: Resources.tintedSymbol(card.symbol, Resources.color("application_green"))
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width - 24 - 20 - 2 * parent.spacing
                    text: card.title
                    color: card.titleColor
                    font.family: card.fontFamily
                    font.weight: card.fontFamily === Resources.interTight ? Font.Medium : Font.Normal
                    font.pixelSize: 16
                    elide: Text.ElideRight
                }
                Image {
                    objectName: "checkmark"
                    anchors.verticalCenter: parent.verticalCenter
                    width: 20
                    height: 20
                    sourceSize: Qt.size(20, 20)
                    fillMode: Image.PreserveAspectFit
                    visible: card.marked
                    source: card.marked ? Resources.image("checkmark_img") : ""
                }
            }

            MouseArea {
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: window.model.cardCursor
                onEntered: card.hoverMoved(true)
                onExited: card.hoverMoved(false)
                onClicked: card.clicked()
            }
        }
    }

    Item {
        id: panel
        anchors.fill: parent

        // Dragging the panel anywhere outside its buttons moves the window.
        MouseArea {
            anchors.fill: parent
            onPressed: window.startSystemMove()
        }

        Rectangle {
            anchors.fill: parent
            radius: 12
            color: Resources.color("application_background_black")
        }
        Rectangle {
            anchors.fill: parent
            radius: 12
            gradient: Gradient {
                GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.28) }
                GradientStop { position: 1 / 3; color: Qt.rgba(0, 0, 0, 0.18) }
                GradientStop { position: 2 / 3; color: Qt.rgba(0, 0, 0, 0.08) }
                GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0) }
            }
        }
        Rectangle {
            anchors.fill: parent
            radius: 12
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.2) }
                GradientStop { position: 0.5; color: Qt.rgba(0, 0, 0, 0) }
                GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0.2) }
            }
        }
        Rectangle {
            anchors.fill: parent
            radius: 12
            gradient: Gradient {
                GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.24) }
                GradientStop { position: 0.5; color: Qt.rgba(0, 0, 0, 0) }
                GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0) }
            }
        }

        Rectangle {
            objectName: "selectionLabel"
            // Level with the close button: the label and the column share their top edge.
            x: 18
            y: choices.y
            visible: window.model.hasSelection
            width: selectionRow.implicitWidth + 20
            height: selectionRow.implicitHeight + 12
            radius: 10
            color: Resources.colorWithAlpha("dark_black", 0.9)

            Row {
                id: selectionRow
                anchors.centerIn: parent
                spacing: 6

                Image {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 12
                    height: 12
                    sourceSize: Qt.size(12, 12)
                    fillMode: Image.PreserveAspectFit
                    source: window.model.hasSelection
                            ? Resources.tintedSymbol(window.model.selectionSymbol, Resources.color("font_gray"))
                            : ""
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: window.model.selectionTitle
                    textFormat: Text.PlainText
                    color: Resources.color("font_gray")
                    font.family: Resources.onest
                    font.pixelSize: 12
                }
            }
        }

        Column {
            id: choices
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            anchors.leftMargin: 18
            anchors.rightMargin: 18
            spacing: 10

            Item {
                width: parent.width
                height: 40

                Item {
                    anchors.right: parent.right
                    anchors.rightMargin: 5
                    anchors.top: parent.top
                    width: 10
                    height: 20

                    Image {
                        objectName: "closeButton"
                        anchors.centerIn: parent
                        width: 20
                        height: 20
                        sourceSize: Qt.size(20, 20)
                        source: Resources.tintedSymbol("x.circle", Resources.color("application_green"))

                        MouseArea {
                            anchors.fill: parent
                            onClicked: window.model.close()
                        }
                    }
                }
            }

            ChoiceCard {
                objectName: "fullScreenCard"
                symbol: "display"
                title: qsTr("Full screen")
                fontFamily: Resources.onest
                titleColor: Resources.color("font_white")
                marked: window.model.fullScreenMarked
                highlighted: window.model.fullScreenHighlighted
                onHoverMoved: (inside) => window.model.setHoveringFullScreen(inside)
                onClicked: window.model.chooseFullScreen()
            }

            ChoiceCard {
                objectName: "specificWindowCard"
                symbol: "macwindow"
                title: qsTr("Specific window")
                fontFamily: Resources.interTight
                titleColor: "white"
                marked: window.model.specificWindowMarked
                highlighted: window.model.specificWindowHighlighted
                onHoverMoved: (inside) => window.model.setHoveringSpecificWindow(inside)
                onClicked: window.model.chooseSpecificWindow()
            }
        }

        Rectangle {
            anchors.fill: parent
            radius: 12
            color: "transparent"
            border.width: 2
            border.color: Resources.color("light_black")
        }
    }
}
