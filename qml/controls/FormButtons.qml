import QtQuick 2.7

// The buttons under a settings form: Back leaves it as it is, Save keeps what was entered.
Row {
    property alias saveName: saveButton.objectName
    property alias saveEnabled: saveButton.enabled
    signal backClicked()
    signal saveClicked()

    spacing: 16
    CustomButton {
        text: "Back"
        color: "#9e9e9e"
        onClicked: backClicked()
    }
    CustomButton {
        id: saveButton
        text: "Save"
        onClicked: saveClicked()
    }
}
