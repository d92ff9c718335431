import QtQuick
import Korvane 1.0
import Korvane.Setup

// The microphone picker: a dark card listing the microphones. Every decision is the scene's;
// this shows it and passes hover, clicks and drags on.
Window {
    id: window
    width: 378
    height: 330
    color: "transparent"

    required property MicrophonePickerScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)
    onAppeared: model.onAppear()

    readonly property color green: Resources.color("application_green")

    Item {
        id: card
        objectName: "card"
        anchors.fill: parent

        // Layered shading, back to front, each clipped to the card's rounded shape.
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
            width: parent.width
            height: parent.height / 2
            radius: 12
            gradient: Gradient {
                GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.24) }
                GradientStop { position: 1.0; color: Qt.rgba(0, 0, 0, 0) }
            }
        }

        // Anywhere on the card that is not a row or a button moves the window.
        MouseArea {
            anchors.fill: parent
            cursorShape: window.model.cursorShape
            onPressed: window.model.dragWindow()
        }

        Column {
            anchors.centerIn: parent
            width: parent.width - 36
            spacing: 15

            Item {
                id: header
                objectName: "header"
                width: parent.width
                height: 20 + 12

                Image {
                    objectName: "logo"
                    x: 0
                    width: 40
                    height: 20
                    fillMode: Image.PreserveAspectFit
                    horizontalAlignment: Image.AlignLeft
                    source: Resources.tintedImage("kv_waves", window.green)
                    sourceSize.height: 40
                }

                Image {
                    objectName: "closeButton"
                    anchors.right: parent.right
                    anchors.rightMargin: 5
                    width: 20
                    height: 20
                    source: Resources.tintedSymbol("x.circle", window.model.closeButtonColor)
                    sourceSize: Qt.size(40, 40)

                    MouseArea {
                        anchors.fill: parent
                        cursorShape: window.model.cursorShape
                        onClicked: window.model.closeClicked()
                    }
                }
            }

            // Scrolls by wheel or drag when the rows do not fit; no scroll bars.
            Flickable {
                id: list
                objectName: "list"
                width: parent.width
                // Always the full height, so the header stays put whatever the list holds.
                height: 210
                contentWidth: width
                contentHeight: rows.implicitHeight
                interactive: contentHeight > height
                boundsBehavior: Flickable.StopAtBounds
                clip: true

                Column {
                    id: rows
                    width: list.width
                    topPadding: 8
                    bottomPadding: 8
                    spacing: 16

                    Text {
                        objectName: "emptyText"
                        visible: window.model.isEmpty
                        width: parent.width
                        leftPadding: 8
                        text: window.model.emptyText
                        textFormat: Text.PlainText
                        color: Resources.color("font_white")
                        font.family: Resources.onest
                        font.pixelSize: 14
                    }

                    Repeater {
                        model: window.model.rows

                        delegate: Rectangle {
                            id: row
                            required property string micId
                            required property string name
                            required property bool isSelected
                            required property bool isHighlighted

                            objectName: "row:" + micId
                            anchors.horizontalCenter: parent ? parent.horizontalCenter : undefined
                            width: 330
                            height: 53
                            radius: 12
                            color: "black"
                            border.width: 1
                            border.color: isHighlighted ? window.green : Resources.color("light_black")
                            Behavior on border.color {
                                ColorAnimation { duration: 150; easing.type: Easing.InOutQuad }
                            }

                            Image {
                                id: micIcon
                                x: 15
                                anchors.verticalCenter: parent.verticalCenter
                                width: 24
                                height: 24
                                fillMode: Image.PreserveAspectFit
                                source: Resources.tintedImage("kv_microphone", window.green)
                                sourceSize: Qt.size(48, 48)
                            }

                            Text {
                                anchors.left: micIcon.right
                                anchors.leftMargin: 15
                                anchors.right: checkmark.left
                                anchors.rightMargin: 15
                                anchors.verticalCenter: parent.verticalCenter
                                text: row.name
                                textFormat: Text.PlainText
                                elide: Text.ElideRight
                                color: "white"
                                font.family: Resources.onest
                                font.pixelSize: 16
                            }

                            Image {
                                id: checkmark
                                objectName: "checkmark"
                                anchors.right: parent.right
                                anchors.rightMargin: 15
                                anchors.verticalCenter: parent.verticalCenter
                                width: 20
                                height: 20
                                visible: row.isSelected
                                fillMode: Image.PreserveAspectFit
                                // Drawn in the green already: a tint would fill in the check.
                                source: Resources.image("checkmark_img")
                                sourceSize: Qt.size(40, 40)
                            }

                            MouseArea {
                                anchors.fill: parent
                                hoverEnabled: true
                                cursorShape: window.model.cursorShape
                                onEntered: window.model.rowHoverChanged(row.micId, true)
                                onExited: window.model.rowHoverChanged(row.micId, false)
                                onClicked: window.model.rowClicked(row.micId)
                            }
                        }
                    }
                }
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
