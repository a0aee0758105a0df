import QtQuick 2.7
import QtQuick.Controls 2.2
import "../../controls"

// What the terminal is and the state of its dispenser, barrier and reader.
Page {
    title: "Terminal"
    readonly property var dispenser: terminal.dispenser
    readonly property var barrier: terminal.barrier
    readonly property var rfid: terminal.rfid

    Flickable {
        anchors.fill: parent
        contentHeight: content.height + 32
        clip: true

        // Two columns of compact tables, so that the whole page fits on the screen: the
        // terminal and the barrier with the configure button, the dispenser and the reader.
        Row {
            id: content
            x: 16
            y: 16
            width: parent.width - 32
            spacing: 16

            Column {
                width: (content.width - 16) / 2
                spacing: 12
                CustomBubbleTable {
                    width: parent.width
                    rowHeight: 22
                    rowSpacing: 2
                    title: "Terminal"
                    model: [{ title: "Type", status: terminal.type },
                            { title: "Serial Number", status: terminal.serialNum },
                            { title: "Customs", status: terminal.customsId },
                            { title: "Location", status: terminal.locationId },
                            { title: "Uptime", status: terminal.uptime }]
                }
                CustomBubbleTable {
                    width: parent.width
                    rowHeight: 22
                    rowSpacing: 2
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
                CustomBubbleTable {
                    width: parent.width
                    rowHeight: 22
                    rowSpacing: 2
                    title: "Dispenser"
                    lampColor: dispenser.active ? green : red
                    model: [{ title: "Status", status: dispenser.active ? "Active" : "Error" },
                            { title: "Manufacturer", status: dispenser.manufacturer },
                            { title: "Model", status: dispenser.model },
                            { title: "Firmware", status: dispenser.firmware },
                            { title: "Software", status: dispenser.software },
                            { title: "Catridge Status", status: dispenser.cartridge }]
                }
                CustomBubbleTable {
                    width: parent.width
                    rowHeight: 22
                    rowSpacing: 2
                    title: "RFID"
                    lampColor: rfid.active ? green : red
                    model: [{ title: "Status", status: rfid.active ? "Active" : "Error" },
                            { title: "UID", status: rfid.uid },
                            { title: "Manufacturer", status: rfid.manufacturer },
                            { title: "Model", status: rfid.model },
                            { title: "Firmware", status: rfid.firmware },
                            { title: "Software", status: rfid.software },
                            { title: "State", status: rfid.state },
                            { title: "Error", status: rfid.error },
                            { title: "Active card", status: rfid.activeCard ? "Present" : "None" }]
                }
            }
        }
    }
}
