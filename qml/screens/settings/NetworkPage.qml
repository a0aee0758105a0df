import QtQuick 2.7
import QtQuick.Controls 2.2
import "../../controls"

// The primary connection and the wired interface.
Page {
    id: page
    title: "Network"
    readonly property var primary: network.primaryConnection
    readonly property var ethernet: network.ethernet
    property alias tab: tabs.currentIndex

    header: TabBar {
        id: tabs
        TabButton { text: "General" }
        TabButton { objectName: "tabEthernet"; text: "Ethernet" }
    }

    CustomBubbleTable {
        x: 32
        y: 16
        width: 480
        visible: tabs.currentIndex === 0
        title: "Primary Connection"
        model: [{ title: "Connection State", status: network.connectionState },
                { title: "Connectivity", status: network.connectivity },
                { title: "Hostname", status: network.hostname },
                { title: "Connection Type", status: primary.type },
                { title: "Interface", status: primary.interface },
                { title: "IPv4 Address", status: primary.ipv4.address },
                { title: "IPv4 Netmask", status: primary.ipv4.mask },
                { title: "IPv4 Gateway", status: primary.ipv4.gateway },
                { title: "IPv4 DNS", status: primary.ipv4.dns0 }]
    }

    Column {
        x: 32
        y: 16
        spacing: 16
        visible: tabs.currentIndex === 1
        CustomBubbleTable {
            width: 480
            title: "Connection State"
            model: [{ title: "State", status: ethernet.state },
                    { title: "IPv4 Address", status: ethernet.ipv4.address },
                    { title: "IPv4 Netmask", status: ethernet.ipv4.mask },
                    { title: "IPv4 Gateway", status: ethernet.ipv4.gateway },
                    { title: "IPv4 DNS#0", status: ethernet.ipv4.dns0 },
                    { title: "IPv4 DNS#1", status: ethernet.ipv4.dns1 },
                    { title: "MAC", status: ethernet.mac },
                    { title: "Interface", status: ethernet.interface },
                    { title: "State Change Reason", status: ethernet.reason }]
        }
        CustomButton {
            objectName: "ethernetConfigure"
            text: "Configure"
            onClicked: settings.openSubPage("EthernetConfigPage.qml")
        }
    }
}
