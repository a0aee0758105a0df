import QtQuick 2.7

// The licence plate (and, at the exit lane, the container code) read for the passage.
// Several screens show it and the texts change at every passage; a hidden one leaves them
// empty, so that only the screen on show lays them out (fitting the size takes several
// layouts).
Item {
    id: plate
    property string label

    height: row.height + 40
    width: parent ? parent.width : 0

    Row {
        id: row
        y: 40
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: 50

        Column {
            width: 300
            Text {
                width: parent.width
                text: visible ? manager.plate : ""
                font.family: "DejaVu Sans"
                font.pointSize: 36
                font.bold: true
                color: "#112D63"
                horizontalAlignment: Text.AlignHCenter
                fontSizeMode: Text.HorizontalFit
                minimumPointSize: 18
                elide: Text.ElideRight
            }
            Text {
                width: parent.width
                text: plate.label
                font.family: "DejaVu Sans"
                font.pointSize: 16
                color: "#112D63"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }
        }

        Column {
            width: 300
            visible: terminal.type === "CARD_COLLECTION_MACHINE"
            Text {
                width: parent.width
                text: visible ? manager.container : ""
                font.family: "DejaVu Sans"
                font.pointSize: 36
                font.bold: true
                color: "#112D63"
                horizontalAlignment: Text.AlignHCenter
                fontSizeMode: Text.HorizontalFit
                minimumPointSize: 18
                elide: Text.ElideRight
            }
            Text {
                width: parent.width
                text: manager.dynTr + qsTr("Container Plate")
                font.family: "DejaVu Sans"
                font.pointSize: 16
                color: "#112D63"
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
            }
        }
    }
}
