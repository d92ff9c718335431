import QtQuick
import QtQuick.Shapes
import Korvane 1.0
import Korvane.Setup

// The session preparation page: the capture source, the microphone and Start, or in their place
// the home menu. Every decision is the logic object's; this only shows it and passes input on.
Item {
    id: root
    objectName: "preparePage"
    implicitWidth: 405
    implicitHeight: 390

    required property PrepareSessionScene model

    readonly property color green: Resources.color("application_green")
    readonly property color white: Resources.color("font_white")
    readonly property color gray: Resources.color("font_gray")
    readonly property color lightBlack: Resources.color("light_black")

    Component.onCompleted: model.onAppear()
    // The logic can go first when the whole window is torn down.
    Component.onDestruction: if (model) model.onDisappear()

    // One row of the page: icon, title and whatever the row adds at its trailing end.
    component Card: Rectangle {
        id: card

        property url icon
        property string title
        property bool highlighted: false
        property bool interactive: true
        property bool singleLine: false
        default property alias trailing: trailingSlot.data

        signal tapped(point position)
        signal hoverChanged(bool hovering)

        width: 330
        height: 53
        radius: 12
        color: "black"
        border.width: 1
        border.color: highlighted ? root.green : root.lightBlack

        Image {
            id: iconImage
            x: 15
            anchors.verticalCenter: parent.verticalCenter
            width: 24
            height: 24
            sourceSize: Qt.size(48, 48)
            fillMode: Image.PreserveAspectFit
            source: card.icon
        }
        Text {
            x: iconImage.x + iconImage.width + 15
            anchors.verticalCenter: parent.verticalCenter
            width: trailingSlot.x - x - (trailingSlot.width > 0 ? 15 : 0)
            text: card.title
            textFormat: Text.PlainText
            color: root.white
            font.family: Resources.onest
            font.pixelSize: 16
            wrapMode: card.singleLine ? Text.NoWrap : Text.Wrap
            elide: card.singleLine ? Text.ElideRight : Text.ElideNone
            maximumLineCount: card.singleLine ? 1 : 100
        }
        Item {
            id: trailingSlot
            anchors.right: parent.right
            anchors.rightMargin: 15
            anchors.verticalCenter: parent.verticalCenter
            width: childrenRect.width
            height: childrenRect.height
        }

        HoverHandler {
            cursorShape: root.model.cardCursor
            onHoveredChanged: card.hoverChanged(hovered)
        }
        TapHandler {
            enabled: card.interactive
            // Taken on press, so the background's window drag never starts under a card.
            gesturePolicy: TapHandler.ReleaseWithinBounds
            onTapped: (eventPoint) => card.tapped(eventPoint.position)
        }
    }

    // The ground: the dark fill with three black shades over it.
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
        }
    }

    // Pressing anywhere between the controls moves the window.
    MouseArea {
        anchors.fill: parent
        onPressed: root.model.dragStarted()
    }

    // Header: the logo opens the web application, the home button swaps in the menu.
    Item {
        id: header
        x: 16
        y: 16
        width: parent.width - 32
        height: 40

        Image {
            objectName: "logoButton"
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            width: 40
            height: 40
            sourceSize: Qt.size(80, 80)
            fillMode: Image.PreserveAspectFit
            source: Resources.image("kv_logo")
            HoverHandler { cursorShape: Qt.PointingHandCursor }
            TapHandler {
                gesturePolicy: TapHandler.ReleaseWithinBounds
                onTapped: root.model.logoTapped()
            }
        }
        Item {
            objectName: "homeButton"
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            width: 40
            height: 40
            Image {
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                width: 24
                height: 24
                sourceSize: Qt.size(48, 48)
                fillMode: Image.PreserveAspectFit
                source: root.model.showHomeActions
                        ? Resources.tintedSymbol(root.model.homeIcon, root.green)
                        : Resources.tintedImage(root.model.homeIcon, root.green)
            }
            HoverHandler { cursorShape: Qt.PointingHandCursor }
            TapHandler {
                gesturePolicy: TapHandler.ReleaseWithinBounds
                onTapped: root.model.homeTapped()
            }
        }
    }

    // The cards, Start and the footer, at the bottom of the page while the menu is closed.
    Column {
        id: cardsBlock
        objectName: "cardsBlock"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 16
        spacing: 8
        opacity: root.model.showHomeActions ? 0 : 1
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }

        Column {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 16

            Card {
                objectName: "sourceCard"
                icon: Resources.tintedSymbol(root.model.sourceIcon,
                                             Resources.color(root.model.sourceIconColor))
                title: root.model.sourceTitle
                highlighted: root.model.isSourceCardHighlighted
                interactive: !root.model.isDisplayWindowOpen
                onTapped: root.model.sourceCardTapped()
                onHoverChanged: (hovering) => root.model.sourceCardHovered(hovering)
            }

            Card {
                id: microphoneCard
                objectName: "microphoneCard"
                icon: Resources.tintedImage("kv_microphone",
                                            Resources.color(root.model.microphoneIconColor))
                title: root.model.microphoneTitle
                singleLine: root.model.isMicrophoneSelected
                highlighted: root.model.isMicrophoneCardHighlighted
                interactive: !root.model.isMicrophoneWindowOpen
                onTapped: (position) => {
                    const inToggle = toggle.mapFromItem(microphoneCard, position.x, position.y)
                    if (toggle.contains(inToggle))
                        root.model.microphoneToggleTapped()
                    else
                        root.model.microphoneCardTapped()
                }
                onHoverChanged: (hovering) => root.model.microphoneCardHovered(hovering)

                Item {
                    id: toggle
                    objectName: "microphoneToggle"
                    width: 37
                    height: 27 + 12
                    Image {
                        anchors.centerIn: parent
                        width: 37
                        height: 27
                        sourceSize: Qt.size(74, 54)
                        source: Resources.image(root.model.toggleImage)
                    }
                }
            }

            Item {
                id: startButton
                objectName: "startButton"
                width: 330
                height: 53

                property real borderWidth: root.model.startBorderWidth
                Behavior on borderWidth {
                    NumberAnimation { duration: 200; easing.type: Easing.InOutQuad }
                }

                // The face drawn twice, as the button's background and as its label.
                Repeater {
                    model: 2
                    Image {
                        anchors.fill: parent
                        clip: true
                        sourceSize: Qt.size(330, 330)
                        fillMode: Image.PreserveAspectCrop
                        source: Resources.image("start_recording")
                        opacity: root.model.startOpacity
                    }
                }

                // The border: a rounded ring filled with the diagonal gradient.
                Shape {
                    id: ring
                    anchors.fill: parent
                    readonly property real w: startButton.borderWidth
                    readonly property real r: 12
                    readonly property real ir: Math.max(0, r - w)

                    ShapePath {
                        strokeWidth: -1
                        strokeColor: "transparent"
                        fillRule: ShapePath.OddEvenFill
                        fillGradient: LinearGradient {
                            x1: 0; y1: 0
                            x2: ring.width; y2: ring.height
                            GradientStop {
                                position: 0
                                color: Resources.color(root.model.startBorderColor)
                            }
                            GradientStop {
                                position: 1
                                color: Resources.colorWithAlpha(root.model.startBorderColor,
                                                                root.model.startBorderEndOpacity)
                            }
                        }

                        startX: ring.r; startY: 0
                        PathLine { x: ring.width - ring.r; y: 0 }
                        PathArc { x: ring.width; y: ring.r; radiusX: ring.r; radiusY: ring.r }
                        PathLine { x: ring.width; y: ring.height - ring.r }
                        PathArc { x: ring.width - ring.r; y: ring.height; radiusX: ring.r; radiusY: ring.r }
                        PathLine { x: ring.r; y: ring.height }
                        PathArc { x: 0; y: ring.height - ring.r; radiusX: ring.r; radiusY: ring.r }
                        PathLine { x: 0; y: ring.r }
                        PathArc { x: ring.r; y: 0; radiusX: ring.r; radiusY: ring.r }

                        PathMove { x: ring.w + ring.ir; y: ring.w }
                        PathLine { x: ring.width - ring.w - ring.ir; y: ring.w }
                        PathArc { x: ring.width - ring.w; y: ring.w + ring.ir; radiusX: ring.ir; radiusY: ring.ir }
                        PathLine { x: ring.width - ring.w; y: ring.height - ring.w - ring.ir }
                        PathArc { x: ring.width - ring.w - ring.ir; y: ring.height - ring.w; radiusX: ring.ir; radiusY: ring.ir }
                        PathLine { x: ring.w + ring.ir; y: ring.height - ring.w }
                        PathArc { x: ring.w; y: ring.height - ring.w - ring.ir; radiusX: ring.ir; radiusY: ring.ir }
                        PathLine { x: ring.w; y: ring.w + ring.ir }
                        PathArc { x: ring.w + ring.ir; y: ring.w; radiusX: ring.ir; radiusY: ring.ir }
                    }
                }

                HoverHandler {
                    cursorShape: root.model.startCursor
                    onHoveredChanged: root.model.startHovered(hovered)
                }
                TapHandler {
                    enabled: root.model.hasValidSelection
                    gesturePolicy: TapHandler.ReleaseWithinBounds
                    onTapped: root.model.startTapped()
                }
            }
        }

        Text {
            objectName: "footer"
            anchors.horizontalCenter: parent.horizontalCenter
            width: 307 + leftPadding + rightPadding
            leftPadding: 10
            rightPadding: 10
            topPadding: 14
            bottomPadding: 20
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            textFormat: Text.StyledText
            font.family: Resources.onest
            font.pixelSize: 14
            color: "white"
            text: "<font color=\"" + root.gray + "\">Keep your microphone</font>"
                  + "<b> ON </b>"
                  + "<font color=\"" + root.gray + "\">and talking about your decisions greatly"
                  + " helps our AI in generating a perfect thing for you.</font>"
        }
    }

    // The home menu, sliding down from the header while it is open.
    Column {
        id: homeMenu
        objectName: "homeMenu"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 16
        spacing: 16
        opacity: root.model.showHomeActions ? 1 : 0
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        transform: Translate {
            y: root.model.showHomeActions ? 0 : -40
            Behavior on y { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        }

        Card {
            objectName: "signOutRow"
            icon: Resources.tintedSymbol("rectangle.portrait.and.arrow.right", root.green)
            title: "Sing out"
            highlighted: root.model.isHoveringSignOut
            onTapped: root.model.signOutTapped()
            onHoverChanged: (hovering) => root.model.signOutHovered(hovering)
        }
        Card {
            objectName: "closeAppRow"
            icon: Resources.tintedSymbol("power", Resources.color("application_red"))
            title: "Close app"
            highlighted: root.model.isHoveringCloseApp
            onTapped: root.model.closeAppTapped()
            onHoverChanged: (hovering) => root.model.closeAppHovered(hovering)
        }
    }

    // The outlines in front of everything. The grey one stands in for an overlay-blended stroke,
    // which would need a layer effect.
    Rectangle {
        anchors.fill: parent
        radius: 12
        color: "transparent"
        border.width: 2
        border.color: Resources.colorWithAlpha("application_border_gray", 0.5)
    }
    Rectangle {
        anchors.fill: parent
        radius: 12
        color: "transparent"
        border.width: 1
        border.color: root.lightBlack
    }
}
