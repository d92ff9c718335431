import QtQuick
import QtQuick.Window
import QtQuick.Layouts
import QtQuick.Controls.Basic

Window {
    id: root

    required property QtObject picker

    readonly property color backgroundColor: "#0E0F11"
    readonly property color cardColor: "#1A1C1F"
    readonly property color cardHoverColor: "#202327"
    readonly property color lineColor: "#2A2D31"
    readonly property color secondaryTextColor: "#9AA0A6"
    readonly property color accentColor: "#2FBF71"

    title: picker.title
    width: 600
    height: 620
    minimumWidth: 320
    minimumHeight: 320
    x: Screen.virtualX + (Screen.width - width) / 2
    y: Screen.virtualY + (Screen.height - height) / 2
    color: backgroundColor

    onClosing: picker.cancel()

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 16

        Label {
            text: root.picker.title
            color: "white"
            font.pixelSize: 20
            font.weight: Font.DemiBold
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            GridView {
                id: grid

                readonly property int columns: Math.max(1, Math.floor(width / 260))

                anchors.fill: parent
                clip: true
                model: root.picker
                cellWidth: Math.floor(width / columns)
                cellHeight: 226
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar {}

                delegate: Item {
                    id: cell

                    required property int index
                    required property string name
                    required property string detail
                    required property string thumbnail
                    readonly property bool selected: index === root.picker.selectedIndex

                    width: grid.cellWidth
                    height: grid.cellHeight

                    Rectangle {
                        objectName: "card" + cell.index
                        anchors.fill: parent
                        anchors.margins: 6
                        radius: 10
                        color: hover.hovered ? root.cardHoverColor : root.cardColor
                        border.width: cell.selected ? 2 : 1
                        border.color: cell.selected ? root.accentColor : root.lineColor

                        ColumnLayout {
                            anchors.fill: parent
                            anchors.margins: 10
                            spacing: 4

                            Rectangle {
                                Layout.fillWidth: true
                                Layout.preferredHeight: width * 9 / 16
                                radius: 6
                                color: "#121315"
                                clip: true

                                Image {
                                    anchors.fill: parent
                                    source: cell.thumbnail
                                    fillMode: Image.PreserveAspectFit
                                    asynchronous: true
                                    smooth: true
                                }
                            }

                            Label {
                                Layout.fillWidth: true
                                Layout.topMargin: 4
                                // Titles come from other programs: never read as markup.
                                text: cell.name
                                textFormat: Text.PlainText
                                color: "white"
                                font.pixelSize: 14
                                font.weight: Font.Medium
                                elide: Text.ElideRight
                            }

                            Label {
                                Layout.fillWidth: true
                                text: cell.detail
                                textFormat: Text.PlainText
                                color: root.secondaryTextColor
                                font.pixelSize: 12
                                elide: Text.ElideRight
                            }

                            Item {
                                Layout.fillHeight: true
                            }
                        }

                        HoverHandler {
                            id: hover
                        }

                        TapHandler {
                            onTapped: root.picker.select(cell.index)
                        }
                    }
                }
            }

            Label {
                anchors.centerIn: parent
                visible: root.picker.isEmpty
                text: root.picker.emptyText
                color: root.secondaryTextColor
                font.pixelSize: 14
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10

            Item {
                Layout.fillWidth: true
            }

            Button {
                id: cancelButton

                objectName: "cancelButton"
                text: "Cancel"
                implicitWidth: 104
                implicitHeight: 36
                onClicked: root.picker.cancel()

                background: Rectangle {
                    radius: 8
                    color: cancelButton.down ? root.lineColor : root.cardColor
                    border.width: 1
                    border.color: root.lineColor
                }
                contentItem: Text {
                    text: cancelButton.text
                    color: "white"
                    font.pixelSize: 14
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
            }

            Button {
                id: shareButton

                objectName: "shareButton"
                text: "Share"
                enabled: root.picker.canShare
                implicitWidth: 104
                implicitHeight: 36
                onClicked: root.picker.share()

                background: Rectangle {
                    radius: 8
                    color: root.accentColor
                    opacity: shareButton.enabled ? (shareButton.down ? 0.8 : 1) : 0.35
                }
                contentItem: Text {
                    text: shareButton.text
                    color: root.backgroundColor
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    opacity: shareButton.enabled ? 1 : 0.6
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }
    }
}
