import QtQuick 2.7
import QtQuick.Controls 1.4 as C1
import QtQuick.Controls.Material 2.2

// A phone-order number pad: digits, the left arrow (tenth key) and "CLR" (twelfth key).
Grid {
    id: pad
    signal numberClicked(string number)
    signal leftClicked()
    signal rightClicked()

    readonly property var keys: ["1", "2", "3", "4", "5", "6", "7", "8", "9", "\u2190", "0", "CLR"]

    columns: 3
    rows: 4
    spacing: 6

    Repeater {
        model: pad.keys
        C1.Button {
            objectName: "key_" + index
            width: 118
            height: 70
            text: modelData
            style: NumberPadStyle {
                dark: pad.Material.theme === Material.Dark
                functionKey: index === 9 || index === 11
            }
            onClicked: {
                if (index === 9)
                    pad.leftClicked()
                else if (index === 11)
                    pad.rightClicked()
                else
                    pad.numberClicked(modelData)
            }
        }
    }
}
