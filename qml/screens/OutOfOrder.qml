import QtQuick 2.7
import "../controls"

// The lane cannot serve: the terminal's reason below the notice.
Item {
    Column {
        width: parent.width
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20
        MessageScreen {
            iconSource: "image://icons/warning-150"
            iconWidth: 150
            iconHeight: 150
            iconColor: "#db4a37"
            text: manager.dynTr + qsTr("Out-of-order")
        }
        TextBox {
            width: parent.width - 80
            anchors.horizontalCenter: parent.horizontalCenter
            horizontalAlignment: Text.AlignHCenter
            text: terminal.reason
            font.pointSize: 20
            color: "#112D63"
        }
    }
}
