import QtQuick 2.7
import QtQuick.Controls 2.2
import QtQuick.Layouts 1.3
import QtQuick.FreeVirtualKeyboard 1.0
import "../../controls"

// The maintenance area: a start list of pages, a tool bar with back, title and menu, a
// confirmation dialog and the on-screen keyboard.
Page {
    id: settings
    objectName: "settingsScreen"

    // Title, description, icon and file of each page of the start list.
    readonly property var pages: [
        { title: "Terminal", description: "Terminal information and settings", icon: "system", source: "TerminalPage.qml" },
        { title: "Diagnostics", description: "System health and diagnostic", icon: "diagnostic", source: "DiagnosticsPage.qml" },
        { title: "Region", description: "Date, time and languange settings", icon: "region", source: "RegionPage.qml" },
        { title: "Audio", description: "Adjust audio volume", icon: "audio", source: "AudioPage.qml" },
        { title: "Display", description: "Adjust display brightness and mode", icon: "brightness", source: "DisplayPage.qml" },
        { title: "Network", description: "Configure Ethernet, WiFi and Modem", icon: "network", source: "NetworkPage.qml" },
        { title: "Update", description: "Check for software and sytem updates", icon: "update", source: "UpdatePage.qml" },
        { title: "Event Log", description: "Examine system events and alarms", icon: "log", source: "EventLogPage.qml" }
    ]
    property bool toolBarHidden: false
    readonly property Item currentPage: stack.currentItem

    function openPage(index) {
        hideKeyboard()
        stack.pop(null)
        stack.push(Qt.resolvedUrl(pages[index].source))
    }
    // Opens a page over the current one (a page's own configuration page).
    function openSubPage(source) {
        hideKeyboard()
        return stack.push(Qt.resolvedUrl(source))
    }
    function closePage() {
        hideKeyboard()
        if (stack.depth > 1)
            stack.pop()
    }
    function hideKeyboard() {
        inputPanel.hide()
        settings.forceActiveFocus()
    }
    // Asks a yes/no question; onYes and onNo are optional functions.
    function ask(text, onYes, onNo) {
        dialog.text = text
        dialog.yesAction = onYes || null
        dialog.noAction = onNo || null
        dialog.open()
    }
    function reset() {
        stack.pop(null)
        dialog.close()
        toolBarHidden = false
        hideKeyboard()
    }

    onVisibleChanged: reset()

    header: ToolBar {
        visible: !settings.toolBarHidden
        height: visible ? 56 : 0
        RowLayout {
            anchors.fill: parent
            ToolButton {
                objectName: "backButton"
                visible: stack.depth > 1
                onClicked: settings.closePage()
                contentItem: ImageBox {
                    source: "image://icons/chevron-left-36"
                    color: "white"
                    width: 36
                    height: 36
                }
            }
            Label {
                Layout.fillWidth: true
                Layout.leftMargin: stack.depth > 1 ? 0 : 16
                text: stack.depth > 1 && stack.currentItem ? stack.currentItem.title : "Settings"
                color: "white"
                font.pixelSize: 22
                elide: Label.ElideRight
            }
            ToolButton {
                objectName: "menuButton"
                onClicked: menu.open()
                contentItem: Image {
                    source: "qrc:/qml/images/Icons/menu.png"
                    sourceSize: Qt.size(32, 32)
                    fillMode: Image.Pad
                }
                Menu {
                    id: menu
                    y: parent.height
                    MenuItem {
                        text: "Restart Application"
                        onTriggered: settings.ask("Are you sure?", function() { manager.exitRequest() })
                    }
                    MenuItem {
                        objectName: "menuReboot"
                        text: "Reboot"
                        onTriggered: settings.ask("Are you sure?", function() { manager.rebootRequest() })
                    }
                    MenuItem {
                        text: "Shutdown"
                        onTriggered: settings.ask("Are you sure?", function() { manager.shutdownRequest() })
                    }
                    MenuItem {
                        text: "Logout"
                        onTriggered: manager.settingsLogoutRequest()
                    }
                }
            }
        }
    }

    StackView {
        id: stack
        anchors.fill: parent
        initialItem: startPage
        // Pages change at once: a technician's tap shows the page it asked for.
        pushEnter: Transition {}
        pushExit: Transition {}
        popEnter: Transition {}
        popExit: Transition {}
        replaceEnter: Transition {}
        replaceExit: Transition {}
    }

    Component {
        id: startPage
        ListView {
            objectName: "startPage"
            property string title: "Settings"
            model: settings.pages
            clip: true
            delegate: ItemDelegate {
                objectName: "page" + modelData.title.replace(" ", "")
                width: ListView.view.width
                height: 64
                onClicked: settings.openPage(index)
                contentItem: Row {
                    spacing: 20
                    ImageBox {
                        anchors.verticalCenter: parent.verticalCenter
                        source: "image://icons/" + modelData.icon + "-36"
                        width: 36
                        height: 36
                        color: "#00ADD7"
                    }
                    Column {
                        anchors.verticalCenter: parent.verticalCenter
                        Label {
                            text: modelData.title
                            font.pixelSize: 18
                            font.bold: true
                        }
                        Label {
                            text: modelData.description
                            font.pixelSize: 13
                            color: "#757575"
                        }
                    }
                }
            }
        }
    }

    CustomPopup {
        id: dialog
        objectName: "dialog"
        property var yesAction: null
        property var noAction: null
        parent: settings
        dialog: true
        onButtonYesPressed: if (yesAction) yesAction()
        onButtonNoPressed: if (noAction) noAction()
    }

    // Full-screen colour test: red, green, blue, then back, one step per tap.
    Rectangle {
        id: rgb
        objectName: "rgbTest"
        property int step: 0
        property var doneAction: null
        parent: settings
        anchors.fill: parent
        z: 50
        visible: false
        color: step === 0 ? "red" : step === 1 ? "green" : "blue"
        MouseArea {
            anchors.fill: parent
            onClicked: {
                if (rgb.step < 2) {
                    rgb.step++
                    return
                }
                rgb.visible = false
                settings.toolBarHidden = false
                if (rgb.doneAction)
                    rgb.doneAction()
            }
        }
    }
    function showRgb(onDone) {
        hideKeyboard()
        rgb.step = 0
        rgb.doneAction = onDone
        toolBarHidden = true
        rgb.visible = true
    }

    InputPanel {
        id: inputPanel
        objectName: "inputPanel"
        parent: settings
        z: 99
        width: parent.width
        height: 250
        y: active ? parent.height - height : parent.height
        visible: y < parent.height
        Behavior on y {
            NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
        }
    }
}
