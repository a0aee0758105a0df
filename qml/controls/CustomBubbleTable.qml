import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Extras 1.4

// A titled box with a status lamp and rows of {title, status}. Values that mean trouble
// show red, known good values green, everything else blue.
Rectangle {
    id: table
    property string title
    property var model: []
    property color lampColor: "#41b987"
    property bool lampVisible: true
    // Height of a row and the space between rows.
    property int rowHeight: 24
    property int rowSpacing: 4

    readonly property color red: "#db4a37"
    readonly property color green: "#41b987"
    readonly property color blue: "#112D63"
    readonly property color amber: "#f0a30a"
    // Title and the value that means trouble for it.
    readonly property var badValues: [["Service", false], ["Device Active", false], ["Catridge Status", "empty"],
                                      ["Catridge Percent", 0], ["Catridge Door Opened", true], ["Jammed", true],
                                      ["Device State", 5], ["State", 3], ["Reason", "Disconnected"]]

    function shownValue(row) {
        if (title === "Camera")
            return row.status === "ON" ? "OK" : row.status === "OFF" ? "Error" : "Pending..."
        return row.status === undefined || row.status === null ? "" : String(row.status)
    }
    function valueColor(row) {
        if (title === "Camera")
            return row.status === "ON" ? green : row.status === "OFF" ? red : amber
        for (var i = 0; i < badValues.length; ++i) {
            if (badValues[i][0] === row.title)
                return String(badValues[i][1]) === String(row.status) ? red : green
        }
        var v = String(row.status)
        return (v === "Error" || v === "Failed") ? red : blue
    }

    implicitWidth: 300
    implicitHeight: column.implicitHeight + 16
    radius: 8
    color: "transparent"
    border.color: "#cfd8dc"
    border.width: 1

    Column {
        id: column
        x: 12
        y: 8
        width: parent.width - 24
        spacing: table.rowSpacing

        Item {
            width: parent.width
            height: 32
            Label {
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                text: table.title
                font.family: "DejaVu Sans"
                font.pixelSize: 16
                font.bold: true
            }
            StatusIndicator {
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                width: 20
                height: 20
                visible: table.lampVisible
                active: true
                color: table.lampColor
            }
        }
        Repeater {
            model: table.model
            Item {
                width: column.width
                height: table.rowHeight
                Label {
                    anchors.left: parent.left
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width / 2
                    text: modelData.title
                    font.family: "DejaVu Sans"
                    font.pixelSize: 13
                    elide: Text.ElideRight
                }
                Label {
                    anchors.right: parent.right
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width / 2
                    horizontalAlignment: Text.AlignRight
                    text: table.shownValue(modelData)
                    color: table.valueColor(modelData)
                    font.family: "DejaVu Sans"
                    font.pixelSize: 13
                    elide: Text.ElideLeft
                }
            }
        }
    }
}
