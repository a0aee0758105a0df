import QtQuick 2.7

// A failed passage or card test, with the error text.
Notice {
    iconSource: "image://icons/invalid-150"
    title: manager.dynTr + qsTr("Transaction error")
    // Laid out only while the screen is on show (it changes at every passage).
    details: visible ? manager.message : ""
    detailsPointSize: 14
}
