import QtQuick 2.7
import QtQuick.Controls 2.2

// A modal message, optionally with an image, or a yes/no question (dialog) that can only be
// closed by one of its two buttons.
Popup {
    id: popup
    property string text
    property string imageSource
    property bool dialog: false
    signal buttonYesPressed()
    signal buttonNoPressed()

    modal: true
    width: 400
    height: imageSource !== "" ? 300 : 200
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 2 : 0
    closePolicy: dialog ? Popup.NoAutoClose : Popup.CloseOnPressOutside | Popup.CloseOnEscape

    // Built when first shown: most runs never show it.
    contentItem: Loader {
        active: popup.visible
        sourceComponent: Item {
            MouseArea {
                anchors.fill: parent
                enabled: !popup.dialog
                onClicked: popup.close()
            }
            Column {
                anchors.centerIn: parent
                width: parent.width
                spacing: 16
                Image {
                    anchors.horizontalCenter: parent.horizontalCenter
                    visible: popup.imageSource !== ""
                    source: popup.imageSource
                    width: 200
                    height: 200
                    sourceSize: Qt.size(200, 200)
                    fillMode: Image.PreserveAspectFit
                }
                Label {
                    width: parent.width
                    text: popup.text
                    font.family: "DejaVu Sans"
                    font.pixelSize: 20
                    wrapMode: Text.WordWrap
                    horizontalAlignment: Text.AlignHCenter
                }
                Row {
                    anchors.horizontalCenter: parent.horizontalCenter
                    visible: popup.dialog
                    spacing: 24
                    CustomButton {
                        objectName: "popupYes"
                        width: 140
                        text: manager.dynTr + qsTr("Yes")
                        onClicked: { popup.close(); popup.buttonYesPressed() }
                    }
                    CustomButton {
                        objectName: "popupNo"
                        width: 140
                        color: "#9e9e9e"
                        text: manager.dynTr + qsTr("No")
                        onClicked: { popup.close(); popup.buttonNoPressed() }
                    }
                }
            }
        }
    }
}
