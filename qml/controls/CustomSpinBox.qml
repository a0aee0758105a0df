import QtQuick 2.7
import QtQuick.Controls 2.2

// An editable whole number without arrows: digits only, within [from, to].
Column {
    id: spin
    property int from: 0
    property int to: 99
    property int value: from
    property string caption
    readonly property bool editing: field.activeFocus
    signal valueModified(int value)

    spacing: 2

    Row {
        spacing: 8
        TextField {
            id: field
            width: 110
            text: String(spin.value)
            inputMethodHints: Qt.ImhDigitsOnly
            validator: IntValidator { bottom: spin.from; top: spin.to }
            horizontalAlignment: Text.AlignRight
            onEditingFinished: {
                var v = parseInt(text, 10)
                if (!isNaN(v) && v >= spin.from && v <= spin.to && v !== spin.value) {
                    spin.value = v
                    spin.valueModified(v)
                }
                text = Qt.binding(function() { return String(spin.value) })
            }
        }
        Label {
            anchors.verticalCenter: parent.verticalCenter
            text: spin.caption
            font.family: "DejaVu Sans"
        }
    }
    Label {
        text: "n: " + spin.from + "-" + spin.to
        font.family: "DejaVu Sans"
        font.pixelSize: 11
        color: "#757575"
    }
}
