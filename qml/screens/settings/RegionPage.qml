import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import QtQuick.Extras 1.4
import "../../controls" as Controls

// Locale, time zone and clock synchronisation.
Page {
    id: page
    title: "Region"
    readonly property var clock: terminal.clock
    readonly property var locales: ["en_US", "en_IE", "el_GR"]
    property date now: new Date()

    Component.onCompleted: clock.refresh()

    Timer {
        interval: 1000
        repeat: true
        running: page.visible
        onTriggered: page.now = new Date()
    }

    GridLayout {
        x: 32
        y: 16
        width: parent.width - 64
        columns: 2
        columnSpacing: 24
        rowSpacing: 10

        Label { text: "Locale"; font.pixelSize: 18 }
        ComboBox {
            objectName: "localeSelector"
            Layout.preferredWidth: 220
            model: page.locales
            currentIndex: page.locales.indexOf(manager.language)
            onActivated: manager.language = page.locales[index]
        }

        Label { text: "Language"; font.pixelSize: 18 }
        Row {
            spacing: 12
            Controls.RoundButton {
                width: 40
                height: 40
                source: manager.dynTr + (Qt.locale().name === "el_GR" ? "qrc:/qml/images/Flags/gr.png"
                                                                       : "qrc:/qml/images/Flags/uk.png")
            }
            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: manager.dynTr + Qt.locale().nativeLanguageName
                font.pixelSize: 18
            }
        }

        Label { text: "Currency Format"; font.pixelSize: 18 }
        Label { text: Number(0.99).toLocaleCurrencyString(window.locale); font.pixelSize: 18 }

        Label { text: "Time Format"; font.pixelSize: 18 }
        Label { text: manager.dynTr + page.now.toLocaleString(Qt.locale(), "d MMM yy, hh:mm:ss t"); font.pixelSize: 18 }

        Label { text: "Timezone"; font.pixelSize: 18 }
        ComboBox {
            Layout.preferredWidth: 320
            model: clock.timezones
            currentIndex: clock.timezones.indexOf(clock.timezone)
            onActivated: clock.timezone = textAt(index)
        }

        Label { text: "NTP server"; font.pixelSize: 18 }
        TextField {
            Layout.fillWidth: true
            text: clock.ntpServer
            // Shows the list from its first server whenever it is not being edited.
            onTextChanged: if (!activeFocus) cursorPosition = 0
            onActiveFocusChanged: if (!activeFocus) cursorPosition = 0
            onEditingFinished: clock.ntpServer = text
        }

        Label { text: "NTP Active"; font.pixelSize: 18 }
        Switch {
            checked: clock.ntpEnabled
            onToggled: clock.ntpEnabled = checked
        }

        Label { text: "NTP Synced"; font.pixelSize: 18 }
        StatusIndicator {
            width: 24
            height: 24
            active: true
            color: clock.ntpSynced ? "#41b987" : "#db4a37"
        }

        Item { width: 1; height: 1 }
        Controls.CustomButton {
            text: "NTP SYNC"
            onClicked: clock.ntpSync()
        }
    }
}
