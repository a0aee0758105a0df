import QtQuick 2.7
import QtQuick.Controls 2.2

// One row of a list: title and time, expanding on a tap to show the message. A latched row
// keeps its highlight until it is tapped.
Rectangle {
    id: row
    property string title
    property string message
    property string time
    property color decorationColor: "#00ADD7"
    property bool latch: false
    property bool expanded: false

    width: parent ? parent.width : 0
    height: content.implicitHeight + 16
    color: latch ? "#e1f5fe" : "transparent"

    Rectangle {
        id: decoration
        width: 6
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        color: row.decorationColor
        SequentialAnimation on opacity {
            running: true
            NumberAnimation { from: 0.2; to: 1.0; duration: 400 }
        }
    }

    Column {
        id: content
        x: 16
        y: 8
        width: parent.width - 24
        spacing: 4
        Item {
            width: parent.width
            height: titleLabel.implicitHeight
            Label {
                id: titleLabel
                text: row.title
                font.family: "DejaVu Sans"
                font.bold: true
                width: parent.width - timeLabel.width - 8
                elide: Text.ElideRight
            }
            Label {
                id: timeLabel
                anchors.right: parent.right
                text: row.time
                font.family: "DejaVu Sans"
                color: "#757575"
            }
        }
        Label {
            width: parent.width
            visible: row.expanded && row.message !== ""
            text: row.message
            wrapMode: Text.WordWrap
            font.family: "DejaVu Sans"
            font.pixelSize: 13
        }
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: "#e0e0e0"
    }

    MouseArea {
        anchors.fill: parent
        onClicked: {
            row.expanded = !row.expanded
            row.latch = false
        }
    }
}
