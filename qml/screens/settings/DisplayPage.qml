import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import "../../controls"

// Brightness, cursor, theme and the display-off interval.
Page {
    title: "Display"

    GridLayout {
        x: 32
        y: 24
        width: parent.width - 64
        columns: 3
        columnSpacing: 24
        rowSpacing: 16

        Label { text: "Brightness Mode"; font.pixelSize: 18 }
        ComboBox { model: ["manual"]; Layout.preferredWidth: 200 }
        Item { width: 1; height: 1 }

        Label { text: "Display Brightness"; font.pixelSize: 18 }
        Slider {
            id: brightness
            Layout.fillWidth: true
            from: 0
            to: 100
            stepSize: 1
            value: board.displayBrightness
            onPressedChanged: {
                if (!pressed)
                    board.displayBrightness = Math.round(value)
            }
        }
        Label { text: Math.round(brightness.value) + "%"; font.pixelSize: 18 }

        Label { text: "Show Cursor"; font.pixelSize: 18 }
        Switch {
            checked: manager.showCursor
            onToggled: manager.showCursor = checked
        }
        Item { width: 1; height: 1 }

        Label { text: "Dark Theme"; font.pixelSize: 18 }
        Switch {
            checked: window.darkTheme
            onToggled: window.darkTheme = checked
        }
        Item { width: 1; height: 1 }

        Label { text: "Display OFF (min)"; font.pixelSize: 18 }
        CustomSpinBox {
            from: 0
            to: 86400
            value: manager.displayOffMin
            onValueModified: manager.displayOffMin = value
            ToolTip.visible: editing
            ToolTip.text: "The interval, in minutes, after which \n"
                          + "the display will turn off , if in Out-\n"
                          + "of-Order or Out-of-Service state."
        }
        Item { width: 1; height: 1 }
    }
}
