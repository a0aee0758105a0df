import QtQuick 2.7

// A flat rectangle button whose pressed colour fills it from the left while held.
Rectangle {
    id: button
    property alias text: label.text
    property alias font: label.font
    property color textColor: enabled ? "white" : "#dddddd"
    property color pressedColor: Qt.darker(color, 1.3)
    property color borderColor: "transparent"
    property int borderWidth: 0
    property bool isPressed: mouse.pressed
    signal clicked()
    signal pressed()
    signal released()

    implicitWidth: Math.max(120, label.implicitWidth + 32)
    implicitHeight: 48
    radius: 4
    color: enabled ? "#00ADD7" : "#9e9e9e"
    border.color: borderColor
    border.width: borderWidth
    clip: true

    Rectangle {
        id: fill
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        radius: button.radius
        color: button.pressedColor
        width: button.isPressed ? button.width : 0
        Behavior on width { NumberAnimation { duration: 150 } }
    }

    Text {
        id: label
        anchors.centerIn: parent
        color: button.textColor
        font.family: "DejaVu Sans"
        font.pixelSize: 16
        font.bold: true
    }

    MouseArea {
        id: mouse
        anchors.fill: parent
        onClicked: button.clicked()
        onPressed: button.pressed()
        onReleased: button.released()
    }
}
