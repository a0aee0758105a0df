import QtQuick 2.7

// The band across the top of every lane screen: the authority's logo and the clock.
// Holding (or tapping three times on) the clock asks for the maintenance area.
Item {
    id: header
    property var locale: Qt.locale()
    signal magicButtonPressed()

    height: 120

    Image {
        id: logo
        source: "image://icons/rolu-logo-top-gr-266x74"
        // Drawn beside the first frame rather than before it.
        asynchronous: true
        width: 266
        height: 74
        sourceSize: Qt.size(266, 74)
        anchors.left: parent.left
        anchors.leftMargin: 25
        anchors.verticalCenter: parent.verticalCenter
    }

    Clock {
        id: clock
        objectName: "clock"
        locale: header.locale
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        onPressAndHold: header.magicButtonPressed()
    }
}
