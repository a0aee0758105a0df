import QtQuick 2.7
import "../controls"

// The terminal is not registered with the card back office: what the installer needs to
// register it.
Item {
    id: page
    readonly property var details: [
        { caption: "Device S/N", value: terminal.serialNum },
        { caption: "IP Address", value: network.ethernet.ipv4.address },
        { caption: "Subnet Mask", value: network.ethernet.ipv4.mask },
        { caption: "Gateway", value: network.ethernet.ipv4.gateway }
    ]

    TextBox {
        y: 70
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: manager.dynTr + qsTr("Not Registered")
        font.pointSize: 32
        font.bold: true
        color: "#112D63"
    }

    Row {
        y: 200
        x: 40
        width: parent.width - 80
        Repeater {
            model: page.details
            Column {
                width: (page.width - 80) / 4
                spacing: 6
                TextBox {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: modelData.caption
                    font.pointSize: 14
                    font.bold: true
                    color: "#333333"
                }
                TextBox {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: modelData.value
                    font.pointSize: 14
                    color: "#333333"
                }
            }
        }
    }
}
