import QtQuick 2.7
import QtQuick.Controls 2.2
import "../../controls"

// PIN entry for the maintenance area.
Item {
    id: login
    objectName: "loginScreen"
    property string input: ""

    onVisibleChanged: input = ""

    Connections {
        target: manager
        function onSettingsAccessGranted() {
            console.log("[QML] Settings access granted")
            manager.screen = "Settings"
        }
        function onSettingsAccessDenied() {
            console.log("[QML] Settings access denied")
            login.input = ""
            shake.restart()
        }
    }

    Row {
        anchors.centerIn: parent
        spacing: 60

        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: 24

            ImageBox {
                anchors.horizontalCenter: parent.horizontalCenter
                source: "image://icons/lock-64"
                width: 64
                height: 64
            }
            Rectangle {
                id: inputBox
                objectName: "pinBox"
                width: 320
                height: 64
                radius: 6
                border.color: "#00ADD7"
                border.width: 2
                color: "transparent"
                transform: Translate { id: shakeMove }

                Text {
                    anchors.centerIn: parent
                    text: login.input === "" ? manager.dynTr + qsTr("Pin") : login.input
                    color: login.input === "" ? "#9e9e9e" : "#112D63"
                    font.family: "DejaVu Sans"
                    font.pixelSize: 30
                }
            }
            CustomButton {
                objectName: "loginButton"
                width: 320
                height: 60
                enabled: login.input.length > 0
                text: manager.dynTr + qsTr("LOGIN")
                onClicked: manager.settingsLoginRequest(login.input)
            }
        }

        NumberPad {
            objectName: "numberPad"
            onNumberClicked: login.input += number
            onLeftClicked: login.input = login.input.slice(0, -1)
            onRightClicked: login.input = ""
        }
    }

    SequentialAnimation {
        id: shake
        loops: 2
        NumberAnimation { target: shakeMove; property: "x"; to: 10; duration: 50 }
        NumberAnimation { target: shakeMove; property: "x"; to: -10; duration: 100 }
        NumberAnimation { target: shakeMove; property: "x"; to: 0; duration: 50 }
    }
}
