import QtQuick 2.7
import "../controls"

// Entry lane at rest: the front plate and the call to press the button.
Item {
    Plate {
        label: manager.dynTr + qsTr("Front License Plate")
    }
    MessageScreen {
        y: 250
        iconBelow: true
        iconSource: "image://icons/chevron-down-50"
        text: manager.dynTr + qsTr("Press button to issue card")
    }
}
