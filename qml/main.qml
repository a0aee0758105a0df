import QtQuick 2.7
import QtQuick.Window 2.2
import QtQuick.Controls 2.2
import QtQuick.Controls.Material 2.2
import "controls"

// The terminal's one window: the header, every screen created once and shown when the root
// object names it, and a pop-up for the whole window.
ApplicationWindow {
    id: window
    objectName: "window"

    // The screen the root object shows.
    property string currentScreen: manager.screen
    // The lane's cameras, for the diagnostics page.
    property var cameras: []
    property bool darkTheme: false
    property alias popup: popup

    x: 0
    y: -1   // the panel shows its first row one pixel above the top edge
    width: 1024
    height: 600
    visible: true
    title: "ZUKATerminal"
    color: darkTheme ? "#303030" : "white"
    flags: Qt.Window
    font.family: "DejaVu Sans"
    Material.theme: darkTheme ? Material.Dark : Material.Light

    // Set once the window has shown its first frame.
    property bool drawn: false
    onFrameSwapped: drawn = true

    // Registered once the first frame is out: the system's own DejaVu Sans draws that one.
    FontLoader {
        source: window.drawn ? "qrc:/qml/fonts/DejaVuSans.ttf" : ""
    }

    Connections {
        target: manager
        function onScreenChanged() {
            window.currentScreen = manager.screen
            console.log("[QML] Screen changed : " + manager.screen)
        }
        function onLanguageChanged() {
            window.locale = Qt.locale(manager.language)
        }
    }

    Connections {
        target: terminal.cameras
        function onCamerasIPsChanged() {
            window.cameras = terminal.cameras.camerasIPsList
        }
    }

    Component.onCompleted: {
        if (manager.language !== "")
            window.locale = Qt.locale(manager.language)
        window.cameras = terminal.cameras.camerasIPsList
    }

    Header {
        id: header
        objectName: "header"
        z: 1
        width: parent.width
        visible: window.currentScreen !== "Settings"
        locale: window.locale
        onMagicButtonPressed: manager.setMaintenanceScreen()
    }

    // Screen name and the file that shows it. A screen is built the first time it is shown
    // and kept from then on; the lane screens that have not been shown yet are built in the
    // background once the first frame is out, the maintenance screens only when opened.
    Repeater {
        model: [
            { name: "Busy", source: "qrc:/qml/screens/Busy.qml", lane: true },
            { name: "CollectScreen", source: "qrc:/qml/screens/CollectScreen.qml", lane: true },
            { name: "DispenseScreen", source: "qrc:/qml/screens/DispenseScreen.qml", lane: true },
            { name: "ErrorScreen", source: "qrc:/qml/screens/ErrorScreen.qml", lane: true },
            { name: "InitPage", source: "qrc:/qml/screens/InitPage.qml", lane: true },
            { name: "Login", source: "qrc:/qml/screens/settings/Login.qml", lane: false },
            { name: "OutOfOrder", source: "qrc:/qml/screens/OutOfOrder.qml", lane: true },
            { name: "Settings", source: "qrc:/qml/screens/settings/Main.qml", lane: false },
            { name: "Success", source: "qrc:/qml/screens/Success.qml", lane: true }
        ]
        Loader {
            readonly property bool current: window.currentScreen === modelData.name
            objectName: modelData.name
            anchors.fill: parent
            // Every screen but the maintenance area lies below the header.
            anchors.topMargin: modelData.name === "Settings" ? 0 : header.height
            // Set once, never cleared: a screen keeps its state while hidden.
            active: false
            // A screen being built in the background is finished at once when it is due.
            asynchronous: !current
            source: modelData.source
            visible: current
            onCurrentChanged: if (current) active = true
            Component.onCompleted: if (current) active = true
            Connections {
                target: window
                enabled: modelData.lane && !active
                function onFrameSwapped() { active = true }
            }
        }
    }

    Text {
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        text: "v" + Qt.application.version
        font.pixelSize: 12
        color: Material.color(Material.Grey, Material.Shade700)
        opacity: 0.5
    }

    CustomPopup {
        id: popup
        objectName: "popup"
    }

    // Takes no events; only sets the cursor over the whole window.
    MouseArea {
        anchors.fill: parent
        z: 1000
        acceptedButtons: Qt.NoButton
        cursorShape: manager.showCursor ? Qt.ArrowCursor : Qt.BlankCursor
    }
}
