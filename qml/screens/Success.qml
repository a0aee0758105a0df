import QtQuick 2.7
import "../controls"

// A card to collect or a passage done.
Item {
    Plate {
        label: manager.dynTr + qsTr("License Plate")
    }
    MessageScreen {
        y: 150
        spacing: 50
        maximumLineCount: 2
        iconSource: "image://icons/valid-150"
        iconWidth: 150
        iconHeight: 150
        iconColor: "#41b987"
        // Laid out only while the screen is on show (it changes at every passage).
        text: visible ? manager.message : ""
    }
}
