import QtQuick 2.7
import "../controls"

// An icon and a text, the icon above the text unless iconBelow is set.
Column {
    id: block
    property alias text: label.text
    property alias iconSource: iconAbove.source
    property color iconColor: "#112D63"
    property int iconWidth: 50
    property int iconHeight: 50
    property bool iconBelow: false
    property alias textPointSize: label.font.pointSize
    property alias maximumLineCount: label.maximumLineCount

    spacing: 30
    width: parent ? parent.width : 0

    ImageBox {
        id: iconAbove
        objectName: "messageIcon"
        visible: !block.iconBelow
        anchors.horizontalCenter: parent.horizontalCenter
        width: block.iconWidth
        height: block.iconHeight
        color: block.iconColor
    }
    TextBox {
        id: label
        objectName: "messageText"
        width: parent.width - 80
        anchors.horizontalCenter: parent.horizontalCenter
        horizontalAlignment: Text.AlignHCenter
        font.pointSize: 30
        font.bold: true
        color: "#112D63"
    }
    ImageBox {
        visible: block.iconBelow
        anchors.horizontalCenter: parent.horizontalCenter
        source: iconAbove.source
        width: block.iconWidth
        height: block.iconHeight
        color: block.iconColor
    }
}
