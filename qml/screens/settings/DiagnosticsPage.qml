import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import "../../controls"

// Hardware checks: peripherals on the first page, cards and card tests on the second, and
// the operator's checks with the report below both.
Page {
    id: page
    title: "Diagnostics"
    property int pageIndex: 0
    property double now: Date.now()
    // The test whose button reads "Stop", and the test that ran last.
    property string runningTest: ""
    property string lastTest: ""
    property var triggerRows: []
    property bool reportSaved: false

    readonly property var diagnostics: manager.diagnostics
    readonly property var dispenser: terminal.dispenser
    readonly property var rfid: terminal.rfid
    readonly property string wav: "/opt/vexo/zuka-terminal-ui/Valid.wav"

    function since(t) {
        if (!t || isNaN(t.getTime()))
            return "No change"
        var s = (now - t.getTime()) / 1000
        if (s < 60)
            return "Just now"
        if (s < 3600)
            return Math.round(s / 60) + " min(s)"
        if (s < 86400)
            return Math.round(s / 3600) + " hour(s)"
        return Qt.formatDateTime(t, "dd/MM/yyyy hh:mm")
    }
    function cameraLamp() {
        var any = false
        for (var i = 0; i < window.cameras.length; ++i) {
            var st = window.cameras[i].status
            if (st === "OFF" || st === "Error" || st === "Failed")
                return "#db4a37"
            if (st !== undefined && st !== "")
                any = true
        }
        return any ? "#41b987" : "#f0a30a"
    }
    function percentOf(name) {
        var p = parseInt(diagnostics.testPercent, 10)
        return lastTest === name && p >= 1 && p <= 100 ? p : 0
    }
    function runTest(name, mode, count) {
        if (runningTest === name) {
            diagnostics.cancelTest()
            return
        }
        runningTest = name
        lastTest = name
        diagnostics.performTestQml(mode, count)
    }
    function check(question, property) {
        settings.ask(question, function() { diagnostics[property] = "OK" },
                     function() { diagnostics[property] = "ERROR" })
    }
    function openTrigger() {
        var rows = []
        for (var i = 0; i < window.cameras.length; ++i)
            rows.push({ type: window.cameras[i].type, title: window.cameras[i].title, status: "Pending..." })
        triggerRows = rows
        triggerPopup.open()
        terminal.cameras.cameraDiagnosticsTrigger()
    }

    Timer {
        interval: 30000
        repeat: true
        running: page.visible
        onTriggered: page.now = Date.now()
    }

    Connections {
        target: diagnostics
        function onTestFinished(test) { page.runningTest = "" }
        function onSaveReportFinished(result, message) {
            page.reportSaved = result
            reportPopup.text = message
            reportPopup.imageSource = result ? diagnostics.generateQr() : ""
            reportPopup.open()
        }
    }
    Connections {
        target: terminal.cameras
        function onDiagnosticsTrigger(type, res) {
            var rows = page.triggerRows.slice()
            for (var i = 0; i < rows.length; ++i) {
                if (rows[i].type === type)
                    rows[i] = { type: type, title: rows[i].title, status: res }
            }
            page.triggerRows = rows
        }
    }

    // Page 1: peripherals.
    Grid {
        objectName: "diagnosticsPage1"
        x: 16
        y: 12
        columns: 2
        spacing: 12
        visible: page.pageIndex === 0

        Column {
            spacing: 6
            CustomBubbleTable {
                width: 484
                title: "Barrier"
                lampColor: terminal.barrier.state === 3 ? red : green
                model: [{ title: "Status", status: terminal.barrier.stateString },
                        { title: "Opened", status: terminal.barrier.isOpen },
                        { title: "Last Changed", status: page.since(terminal.barrier.lastChange) }]
            }
            CustomBubbleTable {
                width: 484
                title: "Camera"
                lampColor: page.cameraLamp()
                model: window.cameras.map(function(c) { return { title: c.title, status: c.status } })
            }
            CustomButton {
                objectName: "cameraTrigger"
                text: "Trigger"
                height: 40
                onClicked: page.openTrigger()
            }
        }
        Column {
            spacing: 6
            CustomBubbleTable {
                width: 484
                title: "Button"
                model: [{ title: "Last Press", status: page.since(terminal.button.lastPress) }]
            }
            CustomButton {
                height: 40
                text: terminal.button.isPressed ? "Unpress" : "Press"
            }
            CustomBubbleTable {
                width: 484
                title: "Magnetic Loop"
                model: [{ title: "Occupied", status: terminal.loop.isOccupied },
                        { title: "Last Change", status: page.since(terminal.loop.lastChange) }]
            }
            CustomButton {
                height: 40
                text: terminal.loop.isOccupied ? "Disengage" : "Engage"
            }
        }
    }

    // Page 2: cards.
    Grid {
        objectName: "diagnosticsPage2"
        x: 16
        y: 12
        columns: 2
        spacing: 12
        visible: page.pageIndex === 1

        Column {
            spacing: 8
            CustomBubbleTable {
                width: 484
                title: "Dispenser"
                lampColor: dispenser.active ? green : red
                model: [{ title: "Service", status: dispenser.active },
                        { title: "Device Active", status: dispenser.active },
                        { title: "Has Card In Mouth", status: dispenser.cardInMouth },
                        { title: "Has Card In RFID", status: dispenser.cardInRfid },
                        { title: "Catridge Status", status: dispenser.cartridge },
                        { title: "Catridge Percent", status: dispenser.cartridgePercent },
                        { title: "Catridge Door Opened", status: dispenser.isDoorOpen },
                        { title: "Jammed", status: dispenser.isJammed }]
            }
            CustomBubbleTable {
                width: 484
                title: "RFID"
                lampColor: dispenser.active ? green : red
                model: [{ title: "Service", status: rfid.active },
                        { title: "Device Active", status: rfid.active },
                        { title: "Device State", status: rfid.state }]
            }
        }

        Rectangle {
            width: 484
            height: tests.implicitHeight + 24
            radius: 8
            color: "transparent"
            border.color: "#cfd8dc"
            Column {
                id: tests
                x: 12
                y: 12
                spacing: 8
                Label { text: "TEST"; font.pixelSize: 16; font.bold: true }
                Repeater {
                    model: [{ name: "Dispenser", mode: "dispense", caption: "cards" },
                            { name: "Eject", mode: "acceptEject", caption: "times" },
                            { name: "Discard", mode: "acceptDispose", caption: "times" }]
                    Row {
                        spacing: 10
                        CustomSpinBox {
                            id: count
                            from: 1
                            to: 250
                            value: 1
                            caption: modelData.caption
                        }
                        Column {
                            spacing: 4
                            CustomButton {
                                objectName: "test" + modelData.name
                                width: 200
                                height: 40
                                text: (page.runningTest === modelData.name ? "Stop " : "Run ") + modelData.name + " Test"
                                onClicked: page.runTest(modelData.name, modelData.mode, count.value)
                            }
                            Label { text: "Success : " + page.percentOf(modelData.name) + "%" }
                        }
                    }
                }
            }
        }
    }

    // Page switch and the operator's checks.
    Column {
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 8
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: 8

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 16
            ToolButton {
                enabled: page.pageIndex > 0
                onClicked: page.pageIndex = 0
                contentItem: ImageBox { source: "image://icons/chevron-left-36"; width: 36; height: 36 }
            }
            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: (page.pageIndex + 1) + " / 2"
                font.pixelSize: 16
            }
            ToolButton {
                objectName: "diagnosticsNext"
                enabled: page.pageIndex < 1
                onClicked: page.pageIndex = 1
                contentItem: ImageBox { source: "image://icons/chevron-right-36"; width: 36; height: 36 }
            }
        }
        Row {
            spacing: 10
            CustomButton {
                text: "Buzzer"; height: 44
                onClicked: page.check("Can you hear the buzzer?", "buzzer")
            }
            CustomButton {
                text: "LEDs"; height: 44
                onClicked: page.check("Can you see the LEDs flashing?", "leds")
            }
            CustomButton {
                text: "Speaker"; height: 44
                onClicked: {
                    inspector.audioPlay(page.wav)
                    page.check("Can you hear the internal speaker?", "speaker")
                }
            }
            CustomButton {
                text: "Sensor"; height: 44
                onClicked: page.check("Is LCD brightness adjusting?\nBrightness : " + board.displayBrightness + "%", "lightSensor")
            }
            CustomButton {
                text: "RGB"; height: 44
                onClicked: settings.showRgb(function() { page.check("Was the RGB test successful?", "rgbTest") })
            }
            CustomButton {
                text: "FINISH"; height: 44
                onClicked: diagnostics.saveReport()
            }
        }
    }

    CustomPopup {
        id: triggerPopup
        objectName: "triggerPopup"
        parent: page
        height: Math.max(200, triggerTable.implicitHeight + 40)
        onClosed: page.triggerRows = []
        contentItem: CustomBubbleTable {
            id: triggerTable
            title: "Camera trigger"
            lampVisible: false
            model: page.triggerRows
        }
    }

    CustomPopup {
        id: reportPopup
        objectName: "reportPopup"
        parent: page
        onClosed: {
            if (page.reportSaved)
                settings.closePage()
        }
    }
}
