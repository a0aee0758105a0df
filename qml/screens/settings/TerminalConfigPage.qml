import QtQuick 2.7
import QtQuick.Controls 2.2
import "../../controls"

// Whether the out-of-order screen shows the whole error description.
Page {
    title: "Terminal Configuration"

    Column {
        x: 32
        y: 32
        spacing: 24

        Switch {
            id: errorDesc
            text: "Show Error Description"
            checked: manager.showErrorDesc
            ToolTip.visible: hovered || pressed
            ToolTip.text: "If enabled, a full error description will\n"
                          + "be displayed in the 'Out-of-Order' screen\n"
                          + "instead of just an error code."
        }
        FormButtons {
            saveEnabled: errorDesc.checked !== manager.showErrorDesc
            onBackClicked: settings.closePage()
            onSaveClicked: {
                manager.showErrorDesc = errorDesc.checked
                settings.closePage()
            }
        }
    }
}
