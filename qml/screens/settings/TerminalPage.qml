import QtQuick 2.7
import QtQuick.Controls 2.2
import "../../controls"

// What the terminal is and the state of its dispenser, barrier and reader.
Page {
    title: "Terminal"
    readonly property var dispenser: terminal.dispenser
    readonly property var barrier: terminal.barrier
    readonly property var rfid: terminal.rfid

    // A compact table: the whole page fits on the screen.
    component Table: CustomBubbleTable {
        width: parent.width
        rowHeight: 22
        rowSpacing: 2
    }
    // A card device as its service reports it: whether it is active, what it is, and the
    // rows of its own before (`first`) and after (`last`) what it is.
    component DeviceTable: Table {
        property var device
        property var first: []
        property var last: []
        lampColor: device.active ? green : red
        model: [{ title: "Status", status: device.active ? "Active" : "Error" }].concat(
                   first,
                   [{ title: "Manufacturer", status: device.manufacturer },
                    { title: "Model", status: device.model },
                    { title: "Firmware", status: device.firmware },
                    { title: "Software", status: device.software }],
                   last)
    }

    Flickable {
        anchors.fill: parent
        contentHeight: content.height + 32
        clip: true

        // Two columns of tables: the terminal and the barrier with the configure button,
        // the dispenser and the reader.
        Row {
            id: content
            x: 16
            y: 16
            width: parent.width - 32
            spacing: 16

            Column {
                width: (content.width - 16) / 2
                spacing: 12
                Table {
                    title: "Terminal"
                    model: [{ title: "Type", status: terminal.type },
                            { title: "Serial Number", status: terminal.serialNum },
                            { title: "Customs", status: terminal.customsId },
                            { title: "Location", status: terminal.locationId },
                            { title: "Uptime", status: terminal.uptime }]
                }
                Table {
                    title: "Barrier"
                    lampColor: barrier.state === 3 ? red : green
                    model: [{ title: "Manufacturer", status: barrier.manufacturer },
                            { title: "Model", status: barrier.model },
                            { title: "State", status: barrier.state },
                            { title: "Reason", status: barrier.reason },
                            { title: "Open", status: barrier.isOpen },
                            { title: "Loop A engaged", status: barrier.loopA },
                            { title: "Loop B engaged", status: barrier.loopB }]
                }
                CustomButton {
                    objectName: "terminalConfigure"
                    text: "Configure"
                    onClicked: settings.openSubPage("TerminalConfigPage.qml")
                }
            }
            Column {
                width: (content.width - 16) / 2
                spacing: 12
                DeviceTable {
                    title: "Dispenser"
                    device: dispenser
                    last: [{ title: "Catridge Status", status: dispenser.cartridge }]
                }
                DeviceTable {
                    title: "RFID"
                    device: rfid
                    first: [{ title: "UID", status: rfid.uid }]
                    last: [{ title: "State", status: rfid.state },
                           { title: "Error", status: rfid.error },
                           { title: "Active card", status: rfid.activeCard ? "Present" : "None" }]
                }
            }
        }
    }
}
