import QtQuick 2.7

// Date over time, refreshed every second. A press held long enough, or more than two
// presses within one second, emits pressAndHold.
Item {
    id: clock
    property var locale: Qt.locale()
    property string dateFormat: "dd-MM-yyyy"
    property string timeFormat: "hh:mm"
    property int taps: 0
    signal pressAndHold()

    width: 200
    height: 65

    function refresh() {
        var now = new Date()
        dateText.text = Qt.formatDate(now, dateFormat)
        timeText.text = now.toLocaleTimeString(locale, timeFormat)
    }

    Column {
        anchors.right: parent.right
        anchors.rightMargin: 25
        anchors.verticalCenter: parent.verticalCenter
        Text {
            id: dateText
            anchors.right: parent.right
            font.family: "DejaVu Sans"
            font.pixelSize: 20
            font.weight: Font.Medium
            color: "#112D63"
            horizontalAlignment: Text.AlignRight
        }
        Text {
            id: timeText
            anchors.right: parent.right
            font.family: "DejaVu Sans"
            font.pixelSize: 42
            font.bold: true
            color: "#112D63"
            horizontalAlignment: Text.AlignRight
        }
    }

    Timer {
        interval: 1000
        repeat: true
        running: true
        triggeredOnStart: true
        onTriggered: clock.refresh()
    }

    Timer {
        id: tapTimer
        interval: 1000
        onTriggered: {
            if (clock.taps > 2)
                clock.pressAndHold()
            clock.taps = 0
        }
    }

    MouseArea {
        anchors.fill: parent
        onPressed: {
            if (!tapTimer.running)
                tapTimer.start()
            clock.taps++
        }
        onPressAndHold: clock.pressAndHold()
        onClicked: console.log("[QML] Clock tapped.")
    }
}
