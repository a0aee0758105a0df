import QtQuick 2.7
import "../controls"

// Exit lane at rest: the rear plate, the container code and the call to insert the card.
Item {
    Plate {
        anchors.fill: parent
        label: manager.dynTr + qsTr("Rear License Plate")
    }
    MessageScreen {
        y: 250
        iconBelow: true
        iconSource: "image://icons/chevron-down-50"
        text: manager.dynTr + qsTr("Insert your card")
    }
}
