import QtQuick 2.7

// The lane cannot serve: the terminal's reason below the notice.
Notice {
    iconSource: "image://icons/warning-150"
    title: manager.dynTr + qsTr("Out-of-order")
    details: terminal.reason
    detailsPointSize: 20
}
