import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3

// The internal speaker's volume; a sound is played when the slider is let go.
Page {
    title: "Audio"

    GridLayout {
        x: 32
        y: 32
        width: parent.width - 64
        columns: 3
        columnSpacing: 24
        rowSpacing: 24

        Label { text: "Audio Enabled"; font.pixelSize: 18 }
        Switch { id: enabledSwitch; checked: true }
        Item { width: 1; height: 1 }

        Label { text: "Audio Volume"; font.pixelSize: 18; enabled: enabledSwitch.checked }
        Slider {
            id: volume
            Layout.fillWidth: true
            enabled: enabledSwitch.checked
            from: 0
            to: 100
            stepSize: 1
            value: inspector.audioVolume
            onPressedChanged: {
                if (!pressed) {
                    inspector.audioPlay("/opt/vexo/zuka-terminal-ui/Valid.wav")
                    inspector.setAudioVolume(Math.round(value))
                }
            }
        }
        Label { text: Math.round(volume.value) + "%"; font.pixelSize: 18; enabled: enabledSwitch.checked }
    }
}
