import QtQuick 2.7
import QtQuick.Window 2.2

// On-screen keyboard for the maintenance screens. It types into the window's focused text
// field (any item with insert/remove and a cursor that is not read-only), so it needs no
// input method behind it. `active` is true while such a field has the focus; Enter takes
// the focus away, which ends the editing and hides the panel's host.
Rectangle {
    id: panel

    readonly property Item target: editable(Window.activeFocusItem) ? Window.activeFocusItem : null
    readonly property bool active: target !== null
    readonly property bool numeric: target !== null
                                    && (target.inputMethodHints & (Qt.ImhDigitsOnly | Qt.ImhFormattedNumbersOnly)) !== 0
    property bool shift: false
    property bool symbols: false

    readonly property var letters: [["q", "w", "e", "r", "t", "y", "u", "i", "o", "p"],
                                    ["a", "s", "d", "f", "g", "h", "j", "k", "l"],
                                    ["Shift", "z", "x", "c", "v", "b", "n", "m", "\u2190"],
                                    ["?123", "-", " ", ".", "Enter"]]
    readonly property var signs: [["1", "2", "3", "4", "5", "6", "7", "8", "9", "0"],
                                  ["@", "#", "$", "%", "&", "*", "+", "(", ")"],
                                  ["_", "/", ":", ";", "!", "?", "=", "\u2190"],
                                  ["ABC", ",", " ", ".", "Enter"]]
    readonly property var digits: [["1", "2", "3", "\u2190"],
                                   ["4", "5", "6", "."],
                                   ["7", "8", "9", "Enter"],
                                   ["0"]]
    readonly property var layout: numeric ? digits : symbols ? signs : letters

    function editable(item) {
        return item !== null && item !== undefined && typeof item.insert === "function"
                && item.cursorPosition !== undefined && !item.readOnly
    }

    // Ends the editing: the focused field loses the focus.
    function hide() {
        if (target)
            target.focus = false
        shift = false
    }

    function press(key) {
        var t = target
        if (!t)
            return
        if (key === "Enter") {
            hide()
        } else if (key === "Shift") {
            shift = !shift
        } else if (key === "?123" || key === "ABC") {
            symbols = !symbols
        } else if (key === "\u2190") {
            if (t.selectedText.length > 0)
                t.remove(t.selectionStart, t.selectionEnd)
            else if (t.cursorPosition > 0)
                t.remove(t.cursorPosition - 1, t.cursorPosition)
        } else {
            if (t.selectedText.length > 0)
                t.remove(t.selectionStart, t.selectionEnd)
            t.insert(t.cursorPosition, shift ? key.toUpperCase() : key)
            shift = false
        }
    }

    function keyWidth(key) {
        var unit = (width - 20) / (numeric ? 4 : 10)
        if (key === " ")
            return unit * 5 - 6
        if (key === "0" && numeric)
            return unit * 4 - 6
        if (!numeric && (key === "Shift" || key === "Enter" || key === "?123" || key === "ABC"))
            return unit * 1.5 - 6
        return unit - 6
    }

    color: "#263238"

    Column {
        anchors.centerIn: parent
        spacing: 6
        Repeater {
            model: panel.layout
            Row {
                anchors.horizontalCenter: parent.horizontalCenter
                spacing: 6
                Repeater {
                    model: modelData
                    Rectangle {
                        objectName: "vkey_" + modelData
                        width: panel.keyWidth(modelData)
                        height: (panel.height - 20) / 4 - 6
                        radius: 4
                        color: keyArea.pressed ? "#00ADD7"
                                               : (modelData.length > 1 || modelData === "\u2190") ? "#455a64" : "#546e7a"
                        Text {
                            anchors.centerIn: parent
                            text: modelData === " " ? "" : (panel.shift && modelData.length === 1 ? modelData.toUpperCase() : modelData)
                            color: "white"
                            font.pixelSize: 20
                        }
                        MouseArea {
                            id: keyArea
                            anchors.fill: parent
                            onClicked: panel.press(modelData)
                        }
                    }
                }
            }
        }
    }
}
