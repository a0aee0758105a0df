import QtQuick 2.7
import QtQuick.Controls.Styles 1.4

// Look of one number pad key: light or dark after the window's theme, grey for the keys
// that are not digits.
ButtonStyle {
    property bool dark: false
    property bool functionKey: false

    background: Rectangle {
        implicitWidth: 118
        implicitHeight: 70
        radius: 6
        border.color: dark ? "#616161" : "#cfd8dc"
        color: control.pressed ? (dark ? "#757575" : "#b3e5fc")
                               : functionKey ? (dark ? "#424242" : "#e0e0e0")
                                             : (dark ? "#303030" : "#ffffff")
    }
    label: Text {
        text: control.text
        font.family: "DejaVu Sans"
        font.pixelSize: 26
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: dark ? "#ffffff" : "#112D63"
    }
}
