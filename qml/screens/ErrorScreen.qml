import QtQuick 2.7
import "../controls"

// A failed passage or card test, with the error text.
Item {
    Column {
        width: parent.width
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20
        MessageScreen {
            iconSource: "image://icons/invalid-150"
            iconWidth: 150
            iconHeight: 150
            iconColor: "#db4a37"
            text: manager.dynTr + qsTr("Transaction error")
        }
        TextBox {
            width: parent.width - 80
            anchors.horizontalCenter: parent.horizontalCenter
            horizontalAlignment: Text.AlignHCenter
            // Laid out only while the screen is on show (it changes at every passage).
            text: visible ? manager.message : ""
            font.pointSize: 14
            color: "#112D63"
        }
    }
}
