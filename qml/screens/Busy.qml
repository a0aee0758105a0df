import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Controls.Material 2.2
import QtQuick.Controls.Material.impl 2.12
import "../controls"

// Work in progress: the plate when there is one, the message and a busy indicator.
Item {
    id: screen

    Plate {
        id: plate
        visible: manager.plate !== ""
        label: manager.dynTr + qsTr("License Plate")
    }

    Column {
        id: column
        width: parent.width
        y: plate.visible ? 190 : (screen.height - height) / 2
        spacing: 20

        TextBox {
            width: parent.width - 80
            anchors.horizontalCenter: parent.horizontalCenter
            horizontalAlignment: Text.AlignHCenter
            // Laid out only while the screen is on show (it changes at every passage).
            text: visible ? manager.message : ""
            font.pointSize: 30
            maximumLineCount: 2
            color: "#112D63"
        }
        BusyIndicator {
            id: indicator
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(window.width, window.height) / 4
            height: width
            running: screen.visible
            Material.accent: "#009FDF"
            // The style's spinner fades in and out over 250 ms, and the fade goes on
            // drawing frames after the screen has gone, which at a passage is a few
            // milliseconds after it came: the spinner comes and goes with its screen.
            contentItem: BusyIndicatorImpl {
                implicitWidth: indicator.Material.touchTarget
                implicitHeight: indicator.Material.touchTarget
                color: indicator.Material.accentColor
                running: indicator.running
                opacity: indicator.running ? 1 : 0
            }
        }
    }
}
