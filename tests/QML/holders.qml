import QtQuick 2.7

// Stand-ins for the context objects the screens read, with the property, signal and slot
// names the real objects have (the screenshot program checks each name against the real
// class). The screenshot program sets them as context properties and changes their values
// to drive each screen.
QtObject {
    property QtObject manager: QtObject {
        property string screen: "Busy"
        property string language: "en_US"
        property string dynTr: ""
        property string message: ""
        property string plate: ""
        property string container: ""
        property bool showCursor: true
        property bool showErrorDesc: false
        property int displayOffMin: 3
        property QtObject diagnostics: QtObject {
            property string testPercent: "0"
            property string buzzer: ""
            property string leds: ""
            property string speaker: ""
            property string lightSensor: ""
            property string rgbTest: ""
            signal testFinished(var test)
            signal saveReportFinished(bool result, string message)
            function performTestQml(name, numberOfCards) {}
            function cancelTest() {}
            function saveReport() {}
            function generateQr() { return "" }
        }
        property QtObject update: QtObject {
            property string status: "Ready to install"
            property string current: "1.0.0"
            property string pending: "1.0.1"
            property int progressPercent: 40
            property string progressMessage: "Downloading"
            function check() {}
            function install() {}
        }
        signal settingsAccessGranted()
        signal settingsAccessDenied()
        function setMaintenanceScreen() {}
        function settingsLoginRequest(pin) {}
        function settingsLogoutRequest() {}
        function exitRequest() {}
        function rebootRequest() {}
        function shutdownRequest() {}
    }

    property QtObject terminal: QtObject {
        property string type: "CARD_VENDING_MACHINE"
        property string reason: ""
        property string serialNum: "ZT-000123"
        property string customsId: "GR001"
        property string locationId: "L-07"
        property int uptime: 86400
        property QtObject barrier: QtObject {
            property string manufacturer: "Magnetic"
            property string model: "MGC(MicroDrive)"
            property int state: 2
            property string stateString: "Ready"
            property string reason: ""
            property bool isOpen: false
            property bool loopA: false
            property bool loopB: false
            property date lastChange: new Date()
        }
        property QtObject dispenser: QtObject {
            property string manufacturer: "Vexo"
            property string model: "ELR19093"
            property string firmware: "2.1"
            property string software: "1.4"
            property string cartridge: "full"
            property bool active: true
            property bool cardInMouth: false
            property bool cardInRfid: true
            property bool isDoorOpen: false
            property bool isJammed: false
            property int cartridgePercent: 80
        }
        property QtObject rfid: QtObject {
            property string uid: "04A1B2C3"
            property string manufacturer: "Vexo"
            property string model: "RF-10"
            property string firmware: "3.0"
            property string software: "1.2"
            property string error: ""
            property int state: 1
            property var activeCard: null
            property bool active: true
        }
        property QtObject loop: QtObject {
            property bool isOccupied: false
            property date lastChange
        }
        property QtObject button: QtObject {
            property bool isPressed: false
            property date lastPress
        }
        property QtObject cameras: QtObject {
            property var camerasIPsList: [{ type: "alpr1", status: "ON" }, { type: "ccr1", status: "OFF" }]
            signal camerasIPsChanged()
            signal diagnosticsTrigger(string type, string res)
            function cameraDiagnosticsTrigger() {}
        }
        property QtObject clock: QtObject {
            property var timezones: ["Europe/Athens", "UTC"]
            property string timezone: "Europe/Athens"
            property string ntpServer: "0.debian.pool.ntp.org 1.debian.pool.ntp.org 2.debian.pool.ntp.org 3.debian.pool.ntp.org time.example.org"
            property bool ntpEnabled: true
            property bool ntpSynced: true
            function ntpSync() {}
            function refresh() {}
        }
    }

    // Plain objects: "interface" cannot be declared as a QML property name.
    property QtObject network: QtObject {
        property string connectionState: "Connected"
        property string connectivity: "Full"
        property string hostname: "lane-01"
        property var primaryConnection: ({
            "type": "ethernet", "interface": "eth0",
            "ipv4": { "address": "10.0.0.5", "mask": "255.255.255.0", "gateway": "10.0.0.1", "dns0": "10.0.0.1", "dns1": "" }
        })
        property var ethernet: ethernetIn("auto")
    }

    // Not a stand-in's member: the real objects have no such function.
    function ethernetIn(method) {
        return {
            "state": "Connected", "mac": "00:11:22:33:44:55", "interface": "eth0", "reason": "", "method": method,
            "ipv4": { "address": "10.0.0.5", "mask": "255.255.255.0", "gateway": "10.0.0.1", "dns0": "10.0.0.1", "dns1": "" },
            "config": { "address": "10.0.0.5", "mask": "255.255.255.0", "gateway": "10.0.0.1", "dns0": "", "dns1": "" },
            "save": function() {}
        }
    }
    function setEthernetMethod(method) { network.ethernet = ethernetIn(method) }

    property QtObject board: QtObject {
        property string model: "MIO-5373"
        property int displayBrightness: 70
    }
}
