import QtQuick 2.7
import "../controls"

// A notice in red with its icon, and the details below it.
Item {
    property alias iconSource: notice.iconSource
    property alias title: notice.text
    property alias details: details.text
    property alias detailsPointSize: details.font.pointSize

    Column {
        width: parent.width
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20
        MessageScreen {
            id: notice
            iconWidth: 150
            iconHeight: 150
            iconColor: "#db4a37"
        }
        TextBox {
            id: details
            width: parent.width - 80
            anchors.horizontalCenter: parent.horizontalCenter
            horizontalAlignment: Text.AlignHCenter
            color: "#112D63"
        }
    }
}
