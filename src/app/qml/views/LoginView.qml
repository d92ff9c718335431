import QtQuick
import Korvane 1.0
import Korvane.App

// The sign-in form. Every decision is the logic object's; this only shows it and passes input on.
Item {
    id: root
    objectName: "loginPage"
    implicitWidth: 400
    implicitHeight: 700

    // Its viewModel holds the typed values, its logic decides.
    required property LoginScene model
    readonly property LogInViewModel viewModel: model.viewModel
    readonly property LoginViewLogic logic: model.logic

    readonly property int usernameField: 0
    readonly property int passwordField: 1

    // Keyboard focus follows the logic's field, except while the alert is up: it has the keys
    // then (Return closes it), and the field gets them back when it closes.
    function applyFocus() {
        if (alert.visible)
            return
        if (logic.focusedField === usernameField)
            userNameInput.field.forceActiveFocus()
        else if (logic.focusedField === passwordField)
            passwordInput.field.forceActiveFocus()
    }

    Component.onCompleted: logic.onAppear()

    Connections {
        target: root.logic
        function onFocusedFieldChanged() { root.applyFocus() }
        function onShowErrorAlertChanged() {
            if (root.logic.showErrorAlert)
                alert.open()
            else
                alert.close()
        }
        // The fields lose focus while disabled; it comes back with the form.
        function onIsSigningInChanged() {
            if (!root.logic.isSigningIn)
                root.applyFocus()
        }
    }

    // Return with neither field focused acts as the Login button.
    Keys.onReturnPressed: logic.loginTapped()
    Keys.onEnterPressed: logic.loginTapped()

    Rectangle {
        anchors.fill: parent
        color: Resources.color("application_background_black")

        // Dragging the background moves the window.
        MouseArea {
            anchors.fill: parent
            onPressed: root.Window.window && root.Window.window.startSystemMove()
        }
    }

    Column {
        id: column
        objectName: "signInForm"
        anchors.fill: parent
        anchors.margins: 30
        spacing: 15

        // The button's and the link's heights already hold their own space below them.
        readonly property real fixedHeight: heading.height + inputs.height + loginButton.height
                                            + forgotLink.height + 5 * spacing
        readonly property real flexibleHeight: Math.max(0, (height - fixedHeight) / 2)

        Item { width: 1; height: column.flexibleHeight }

        Column {
            id: heading
            width: parent.width
            spacing: 20
            Item {
                width: parent.width
                height: logo.implicitHeight + 40
                Image {
                    id: logo
                    anchors.centerIn: parent
                    source: Resources.image("Vantrel")
                }
            }
            Text {
                width: parent.width
                bottomPadding: 15
                text: "Welcome to \n Korvane"
                color: Resources.color("font_white")
                font.pixelSize: 25
                font.bold: true
                horizontalAlignment: Text.AlignHCenter
            }
        }

        Column {
            id: inputs
            width: parent.width
            spacing: 10
            LoginInput {
                id: userNameInput
                width: parent.width
                placeholder: "Enter your user name"
                text: root.viewModel.userName
                onEdited: (value) => root.viewModel.userName = value
                enabled: !root.logic.isSigningIn
                onFocused: root.logic.setFocusedField(root.usernameField)
                onSubmitted: root.logic.submit()
            }
            LoginInput {
                id: passwordInput
                width: parent.width
                placeholder: "Enter your password"
                secure: true
                text: root.viewModel.password
                onEdited: (value) => root.viewModel.password = value
                enabled: !root.logic.isSigningIn
                onFocused: root.logic.setFocusedField(root.passwordField)
                onSubmitted: root.logic.submit()
            }
        }

        Item { width: 1; height: column.flexibleHeight }

        Item {
            id: loginButton
            width: parent.width
            height: buttonFace.height + 20
            enabled: !root.logic.isSigningIn
            opacity: root.logic.isSigningIn ? 0.7 : 1.0

            Item {
                id: buttonFace
                x: 16
                width: parent.width - 32
                height: loginLabel.implicitHeight + 32

                LoginButtonBackground {
                    anchors.fill: parent
                    edgeEmphasis: root.logic.loginBorderFocusedAtEdges ? 1 : 0
                    Behavior on edgeEmphasis {
                        SequentialAnimation {
                            PauseAnimation { duration: root.logic.loginBorderFocusedAtEdges ? 80 : 0 }
                            NumberAnimation { duration: 450; easing.type: Easing.InOutQuad }
                        }
                    }
                }
                Text {
                    id: loginLabel
                    anchors.centerIn: parent
                    text: "Login"
                    color: Resources.color("application_green")
                    font.family: Resources.onest
                    font.pixelSize: 16
                }
                HoverHandler {
                    cursorShape: Qt.PointingHandCursor
                    onHoveredChanged: root.logic.loginHovered(hovered)
                }
                TapHandler {
                    onTapped: root.logic.loginTapped()
                }
            }
        }

        Item {
            id: forgotLink
            width: parent.width
            height: forgotRow.height + 30

            Row {
                id: forgotRow
                anchors.horizontalCenter: parent.horizontalCenter
                spacing: 6
                Image {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 14
                    height: 14
                    sourceSize: Qt.size(28, 28)
                    source: Resources.tintedSymbol("questionmark.circle", Resources.color("font_gray"))
                }
                Text {
                    text: "Forgot your password?"
                    color: Resources.color("font_gray")
                    font.family: Resources.onest
                    font.pixelSize: 14
                }
                HoverHandler { cursorShape: Qt.PointingHandCursor }
                TapHandler { onTapped: root.logic.forgotPasswordPressed() }
            }
        }
    }

    // While signing in: a spinner over everything, and the clicks go nowhere. The cover itself
    // draws nothing: the mouse area takes the clicks, and even a near-clear fill would be
    // blended over the whole window in every frame.
    Item {
        id: signingInCover
        anchors.fill: parent
        visible: root.logic.isSigningIn
        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.AllButtons
            hoverEnabled: true
            preventStealing: true
            onWheel: (wheel) => wheel.accepted = true
        }

        // Ten dots round a ring fill one by one, then empty in the same order, a dot every
        // 100 ms. A timer steps it because every frame redraws the whole window on a software
        // renderer, and an animated spinner asks for frames as fast as they can be drawn.
        Item {
            id: spinner
            objectName: "signingInSpinner"
            anchors.centerIn: parent
            width: 48
            height: 48
            scale: 1.2
            opacity: signingInCover.visible ? 1 : 0
            Behavior on opacity { NumberAnimation { duration: 250 } }

            readonly property int dots: 10
            readonly property color color: Resources.color("application_green")
            // 0 to dots - 1: dots 0 to step are full; dots to 2 * dots - 1: those after
            // step - dots are.
            property int step: 0

            Timer {
                interval: 100
                repeat: true
                running: signingInCover.visible
                onTriggered: spinner.step = (spinner.step + 1) % (2 * spinner.dots)
            }

            Repeater {
                model: spinner.dots
                Rectangle {
                    required property int index
                    readonly property real angle: 2 * Math.PI * index / spinner.dots
                    readonly property real ring: (spinner.width - width) / 2
                    readonly property bool full: spinner.step < spinner.dots
                                                 ? index <= spinner.step
                                                 : index > spinner.step - spinner.dots
                    x: ring + Math.sin(angle) * ring
                    y: ring - Math.cos(angle) * ring
                    width: 8
                    height: 8
                    radius: 4
                    border.width: 1
                    border.color: spinner.color
                    color: full ? spinner.color : "transparent"
                }
            }
        }
    }

    AlertDialog {
        id: alert
        objectName: "errorAlert"
        title: "Error"
        message: root.logic.errorMessage
        onClosed: {
            root.logic.showErrorAlert = false
            root.applyFocus()
        }
    }
}
