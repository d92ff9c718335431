import QtQuick
import QtQuick.Controls
import Korvane 1.0
import Korvane.Session

// The post-session card: "Collecting Information…" while the recording uploads, then a small
// card in the corner that links to the video. The scene runs the timeline and decides what is
// shown; this draws it and passes the pointer on.
Window {
    id: window
    width: 405
    height: 350
    color: "transparent"

    required property CollectingInformationScene model

    signal appeared()

    Component.onCompleted: model.configureWindow(window)

    onAppeared: model.onAppear()

    readonly property int displayState: model.displayState

    Item {
        id: card
        objectName: "collectingCard"
        anchors.centerIn: parent
        implicitWidth: 405
        implicitHeight: 350
        width: window.model.cardWidth
        height: window.model.cardHeight

        Behavior on width { NumberAnimation { duration: 350; easing.type: Easing.InOutQuad } }
        Behavior on height { NumberAnimation { duration: 350; easing.type: Easing.InOutQuad } }

        // 0 at rest, 1 at the top of a pulse: one second each way, eased both ways.
        property real breath: 0
        readonly property real pulseScale: 1.0 + 0.06 * breath
        readonly property real pulseOpacity: 0.7 + 0.3 * breath

        // Fifteen steps a second look smooth at these sizes and cost one frame each; an animation
        // would draw sixty, and a software renderer redraws the whole window for every one. The
        // completed card does not pulse, so nothing repaints once it is up.
        Timer {
            readonly property int stepsPerWay: 15
            property int step: 0
            interval: 1000 / stepsPerWay
            repeat: true
            running: window.model.pulse
                     && window.displayState !== CollectingInformationScene.Completed
            onTriggered: {
                step = (step + 1) % (2 * stepsPerWay)
                const way = step < stepsPerWay ? step : 2 * stepsPerWay - step
                const u = way / stepsPerWay
                card.breath = u < 0.5 ? 2 * u * u : 1 - 2 * (1 - u) * (1 - u)
            }
        }

        Rectangle {
            anchors.fill: parent
            radius: 12
            color: Qt.rgba(0, 0, 0, 0.92)
        }

        // The window has no title bar: dragging the card anywhere moves it.
        MouseArea {
            anchors.fill: parent
            onPressed: window.model.startWindowDrag()
        }

        // Large collecting state.
        Column {
            objectName: "largeCollecting"
            anchors.centerIn: parent
            width: parent.width - 40
            spacing: 12
            visible: window.displayState === CollectingInformationScene.LargeCollecting

            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 79
                height: 79
                source: Resources.image("kv_points_round")
                sourceSize: Qt.size(158, 158)
                fillMode: Image.PreserveAspectFit
                smooth: true
                scale: card.pulseScale
                opacity: card.pulseOpacity
            }
            Text {
                width: parent.width
                text: "Collecting Information…"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
                maximumLineCount: 2
                elide: Text.ElideRight
                color: Resources.color("font_white")
                font.family: Resources.onest
                font.pixelSize: 32
            }
        }

        // Compact collecting state.
        Item {
            objectName: "compactCollecting"
            anchors.fill: parent
            visible: window.displayState === CollectingInformationScene.CompactCollecting

            Image {
                x: 10
                y: 10
                width: 28
                height: 28
                source: Resources.image("kv_points_round")
                sourceSize: Qt.size(56, 56)
                fillMode: Image.PreserveAspectFit
                smooth: true
                scale: card.pulseScale
                opacity: card.pulseOpacity
            }
            Text {
                anchors.fill: parent
                text: "Collecting Information…"
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                maximumLineCount: 1
                elide: Text.ElideRight
                color: Resources.color("font_white")
                font.family: Resources.onest
                font.pixelSize: 12
            }
        }

        // Completed card.
        Item {
            objectName: "completedCard"
            anchors.fill: parent
            visible: window.displayState === CollectingInformationScene.Completed

            Column {
                anchors.left: parent.left
                anchors.leftMargin: 20
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                spacing: 12

                Image {
                    width: 28
                    height: 28
                    source: Resources.image("kv_points_round")
                    sourceSize: Qt.size(56, 56)
                    fillMode: Image.PreserveAspectFit
                    smooth: true
                }
                Text {
                    width: parent.width
                    text: "Data Collection Completed"
                    horizontalAlignment: Text.AlignLeft
                    wrapMode: Text.WordWrap
                    maximumLineCount: 2
                    elide: Text.ElideRight
                    color: Resources.color("font_white")
                    font.family: Resources.onest
                    font.pixelSize: 12
                }
                Item {
                    id: viewNow
                    objectName: "viewNowButton"
                    width: 123
                    height: 34
                    // The hover grows the label and again the whole button: 1.06 in all.
                    readonly property real hoverScale: window.model.isHoveringViewNow ? 1.03 : 1.0
                    scale: hoverScale
                    Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }

                    // A soft shadow, black at 0.3, 4 below, blurred over about 8: layers of
                    // growing spread add up inside and fade out towards the edge. Blurs need
                    // layer effects the software renderer does not draw.
                    Item {
                        objectName: "viewNowShadow"
                        anchors.fill: parent
                        opacity: window.model.isHoveringViewNow ? 1 : 0
                        Behavior on opacity { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }

                        Repeater {
                            model: 8
                            Rectangle {
                                required property int index
                                readonly property real spread: index - 4
                                x: -spread
                                y: 4 - spread
                                width: viewNow.width + 2 * spread
                                height: viewNow.height + 2 * spread
                                radius: 12 + spread
                                color: Qt.rgba(0, 0, 0, 0.044)
                            }
                        }
                    }
                    Image {
                        objectName: "viewNowLabel"
                        anchors.fill: parent
                        source: Resources.image("view_now_btn")
                        sourceSize: Qt.size(246, 68)
                        fillMode: Image.Stretch
                        smooth: true
                        scale: viewNow.hoverScale
                        Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                    }
                    MouseArea {
                        anchors.fill: parent
                        hoverEnabled: true
                        cursorShape: window.model.viewNowCursorShape
                        onEntered: window.model.hoverViewNow(true)
                        onExited: window.model.hoverViewNow(false)
                        onClicked: window.model.openUploadedVideo()
                    }
                }
            }

            Rectangle {
                objectName: "closeButton"
                anchors.top: parent.top
                anchors.right: parent.right
                anchors.margins: 8
                width: 18
                height: 18
                radius: 9
                color: Qt.rgba(0, 0, 0, 0.35)
                border.width: 0.5
                border.color: Qt.rgba(1, 1, 1, 0.2)

                Image {
                    anchors.centerIn: parent
                    width: 12
                    height: 12
                    source: Resources.tintedSymbol("x.circle", Resources.color("application_green"))
                    sourceSize: Qt.size(24, 24)
                    fillMode: Image.PreserveAspectFit
                    smooth: true
                }
                MouseArea {
                    anchors.fill: parent
                    onClicked: window.model.close()
                }
            }
        }

        // Outer border, then a faint inner highlight one point inside it.
        Rectangle {
            anchors.fill: parent
            radius: 12
            color: "transparent"
            border.width: 2
            border.color: Resources.colorWithAlpha("light_black", 0.9)
        }
        Rectangle {
            anchors.fill: parent
            anchors.margins: 1
            radius: 11
            color: "transparent"
            border.width: 1
            border.color: Qt.rgba(1, 1, 1, 0.06)
        }

        // Accent strokes along the top-left corner, fading along the card's diagonal. Their
        // overlay blend is approximated by drawing them at half strength.
        Item {
            id: accent
            anchors.fill: parent

            readonly property real strength: 0.5

            // The gradient's opacity at a point, the gradient running from the top-left to the
            // bottom-right corner of the card.
            function alphaAt(x, y) {
                const t = Math.max(0, Math.min(1, (x / accent.width + y / accent.height) / 2))
                const stops = [[0, 1.0], [0.25, 0.9], [0.7, 0.4], [1.0, 0.0]]
                for (let i = 1; i < stops.length; ++i) {
                    if (t <= stops[i][0]) {
                        const f = (t - stops[i - 1][0]) / (stops[i][0] - stops[i - 1][0])
                        return stops[i - 1][1] + (stops[i][1] - stops[i - 1][1]) * f
                    }
                }
                return 0
            }
            function colorAt(x, y) {
                return Resources.colorWithAlpha("application_border_gray", accent.strength * accent.alphaAt(x, y))
            }

            Rectangle {
                id: topStroke
                readonly property real run: Math.max(0, Math.min(accent.width - 27, 40))
                x: 13.5
                y: 0
                width: run
                height: 3
                gradient: Gradient {
                    orientation: Gradient.Horizontal
                    GradientStop { position: 0; color: accent.colorAt(13.5, 1.5) }
                    GradientStop { position: 1; color: accent.colorAt(13.5 + topStroke.run, 1.5) }
                }
            }
            Rectangle {
                id: leftStroke
                readonly property real run: Math.max(0, Math.min(accent.height - 27, 40))
                x: 0
                y: 13.5
                width: 3
                height: run
                gradient: Gradient {
                    GradientStop { position: 0; color: accent.colorAt(1.5, 13.5) }
                    GradientStop { position: 1; color: accent.colorAt(1.5, 13.5 + leftStroke.run) }
                }
            }
        }
    }

    // The upload failed: the only way on is to quit, signed out of the next start's page.
    Popup {
        id: alert
        objectName: "errorAlert"
        anchors.centerIn: Overlay.overlay
        width: Math.min(300, window.width - 40)
        modal: true
        focus: true
        padding: 16
        closePolicy: Popup.NoAutoClose
        visible: window.model.isShowError

        Overlay.modal: Rectangle { color: Qt.rgba(0, 0, 0, 0.45) }

        background: Rectangle {
            radius: 12
            color: Resources.color("light_black")
            border.width: 1
            border.color: Resources.color("application_border_gray")
        }

        contentItem: Column {
            spacing: 8
            focus: true
            Keys.onReturnPressed: window.model.confirmError()
            Keys.onEnterPressed: window.model.confirmError()
            Keys.onEscapePressed: window.model.confirmError()
            Text {
                width: parent.width
                text: "Error"
                color: Resources.color("font_white")
                font.family: Resources.onest
                font.pixelSize: 16
                font.bold: true
                horizontalAlignment: Text.AlignHCenter
            }
            Text {
                width: parent.width
                text: "Something went wrong."
                wrapMode: Text.Wrap
                color: Resources.color("font_white")
                font.family: Resources.onest
                font.pixelSize: 13
                horizontalAlignment: Text.AlignHCenter
            }
            Rectangle {
                objectName: "errorOkButton"
                width: parent.width
                height: 28
                radius: 8
                color: okArea.pressed ? Qt.darker(Resources.color("application_green"), 1.2)
                                      : Resources.color("application_green")
                Text {
                    anchors.centerIn: parent
                    text: "OK"
                    color: Resources.color("application_background_black")
                    font.family: Resources.onest
                    font.pixelSize: 14
                    font.bold: true
                }
                MouseArea {
                    id: okArea
                    anchors.fill: parent
                    cursorShape: Qt.PointingHandCursor
                    onClicked: window.model.confirmError()
                }
            }
        }
    }
}
