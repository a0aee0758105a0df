import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import "../../controls"

// Software versions and the update service's progress.
Page {
    title: "Update"
    readonly property var updater: manager.update

    GridLayout {
        x: 32
        y: 32
        width: parent.width - 64
        columns: 2
        columnSpacing: 24
        rowSpacing: 16

        Label { text: "Status"; font.pixelSize: 18 }
        Label { text: updater.status; font.pixelSize: 18; font.bold: true }

        Label { text: "Current Version"; font.pixelSize: 18 }
        Label { text: updater.current !== "" ? updater.current : "None"; font.pixelSize: 18 }

        Label { text: "Pending Version"; font.pixelSize: 18 }
        Label { text: updater.pending !== "" ? updater.pending : "None"; font.pixelSize: 18 }

        Label { text: "Progress"; font.pixelSize: 18 }
        Column {
            Layout.fillWidth: true
            spacing: 4
            ProgressBar {
                width: parent.width
                from: 0
                to: 100
                value: updater.progressPercent
            }
            Label { text: updater.progressMessage; color: "#757575" }
        }

        Row {
            Layout.columnSpan: 2
            spacing: 16
            CustomButton {
                text: "Check"
                onClicked: updater.check()
            }
            CustomButton {
                objectName: "updateInstall"
                text: "Install"
                enabled: updater.status === "Ready to install"
                onClicked: updater.install()
            }
        }
    }
}
