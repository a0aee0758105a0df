import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import "../../controls"

// The wired interface's addressing: automatic, or the five addresses typed in.
Page {
    id: page
    objectName: "ethernetConfigPage"
    title: "Ethernet Configuration"
    readonly property var ethernet: network.ethernet
    readonly property var modes: ["auto", "manual"]
    readonly property bool manual: mode.currentIndex === 1
    readonly property var ipPattern: /^((25[0-5]|(2[0-4]|1\d|[1-9]|)\d)\.?\b){4}$/

    // The first fault of the input in manual mode, or the empty text.
    function checkInput() {
        if (!manual)
            return ""
        if (address.text === "")
            return "IPv4 address cannot be empty in 'manual' mode"
        if (netmask.text === "")
            return "IPv4 netmask cannot be empty in 'manual' mode"
        var fields = [[address, "IPv4 address is not a valid IP address"],
                      [netmask, "IPv4 netmask is not a valid IP address"],
                      [gateway, "IPv4 gateway is not a valid IP address"],
                      [dns0, "IPv4 DNS #0 is not a valid IP address"],
                      [dns1, "IPv4 DNS #1 is not a valid IP address"]]
        for (var i = 0; i < fields.length; ++i) {
            var text = fields[i][0].text
            if (text !== "" && !ipPattern.test(text))
                return fields[i][1]
        }
        return ""
    }

    function save() {
        var fault = checkInput()
        if (fault !== "") {
            window.popup.dialog = false
            window.popup.imageSource = ""
            window.popup.text = fault
            window.popup.open()
            return
        }
        ethernet.config.address = address.text
        ethernet.config.mask = netmask.text
        ethernet.config.gateway = gateway.text
        ethernet.config.dns0 = dns0.text
        ethernet.config.dns1 = dns1.text
        ethernet.save()
        settings.closePage()
    }

    GridLayout {
        x: 32
        y: 12
        columns: 4
        columnSpacing: 24
        rowSpacing: 4

        Label { text: "Mode"; font.pixelSize: 16 }
        ComboBox {
            id: mode
            objectName: "ethernetMode"
            Layout.preferredWidth: 220
            model: page.modes
            currentIndex: Math.max(0, page.modes.indexOf(ethernet.method))
            onActivated: ethernet.method = page.modes[index]
        }
        Item { Layout.columnSpan: 2; width: 1; height: 1 }

        Label { text: "IPV4 Address"; font.pixelSize: 16 }
        TextField { id: address; objectName: "ipAddress"; enabled: page.manual; text: ethernet.config.address; inputMethodHints: Qt.ImhFormattedNumbersOnly; Layout.preferredWidth: 220 }
        Label { text: "IPV4 Netmask"; font.pixelSize: 16 }
        TextField { id: netmask; objectName: "ipNetmask"; enabled: page.manual; text: ethernet.config.mask; inputMethodHints: Qt.ImhFormattedNumbersOnly; Layout.preferredWidth: 220 }

        Label { text: "IPV4 Gateway"; font.pixelSize: 16 }
        TextField { id: gateway; objectName: "ipGateway"; enabled: page.manual; text: ethernet.config.gateway; inputMethodHints: Qt.ImhFormattedNumbersOnly; Layout.preferredWidth: 220 }
        Item { Layout.columnSpan: 2; width: 1; height: 1 }

        Label { text: "DNS #0"; font.pixelSize: 16 }
        TextField { id: dns0; objectName: "ipDns0"; enabled: page.manual; text: ethernet.config.dns0; inputMethodHints: Qt.ImhFormattedNumbersOnly; Layout.preferredWidth: 220 }
        Label { text: "DNS #1"; font.pixelSize: 16 }
        TextField { id: dns1; objectName: "ipDns1"; enabled: page.manual; text: ethernet.config.dns1; inputMethodHints: Qt.ImhFormattedNumbersOnly; Layout.preferredWidth: 220 }

        FormButtons {
            Layout.columnSpan: 4
            Layout.topMargin: 12
            saveName: "ethernetSave"
            onBackClicked: settings.closePage()
            onSaveClicked: page.save()
        }
    }
}
