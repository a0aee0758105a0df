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
        iconSource: "qrc:/qml/images/Icons/chevron-down.svg"
        text: manager.dynTr + qsTr("Insert your card")
    }
}
