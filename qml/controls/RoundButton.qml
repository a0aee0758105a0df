import QtQuick 2.7

// A round button showing an image.
Rectangle {
    id: button
    property alias source: image.source
    signal clicked()

    width: 48
    height: 48
    radius: width / 2
    color: mouse.pressed ? "#e0e0e0" : "transparent"
    clip: true

    Image {
        id: image
        anchors.centerIn: parent
        width: parent.width
        height: parent.height
        sourceSize: Qt.size(width, height)
        fillMode: Image.PreserveAspectCrop
    }
    MouseArea {
        id: mouse
        anchors.fill: parent
        onClicked: button.clicked()
    }
}
