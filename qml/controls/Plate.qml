import QtQuick 2.7

// The licence plate (and, at the exit lane, the container code) read for the passage.
// Several screens show it and the texts change at every passage; a hidden one leaves them
// empty, so that only the screen on show lays them out (fitting the size takes several
// layouts).
Item {
    id: plate
    property string label

    // A reading in large letters, its name below it.
    component Reading: Column {
        property string value
        property string name
        width: 300
        Text {
            width: parent.width
            text: parent.value
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
            text: parent.name
            font.family: "DejaVu Sans"
            font.pointSize: 16
            color: "#112D63"
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
        }
    }

    height: row.height + 40
    width: parent ? parent.width : 0

    Row {
        id: row
        y: 40
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: 50

        Reading {
            value: visible ? manager.plate : ""
            name: plate.label
        }
        Reading {
            visible: terminal.type === "CARD_COLLECTION_MACHINE"
            value: visible ? manager.container : ""
            name: manager.dynTr + qsTr("Container Plate")
        }
    }
}
