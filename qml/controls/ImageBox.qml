import QtQuick 2.7
import QtGraphicalEffects 1.0

// An icon tinted with one colour.
Item {
    id: box
    property alias source: image.source
    property color color: "#112D63"

    width: 50
    height: 50

    Image {
        id: image
        anchors.fill: parent
        sourceSize: Qt.size(box.width, box.height)
        fillMode: Image.PreserveAspectFit
        smooth: true
        visible: false
    }
    ColorOverlay {
        anchors.fill: image
        source: image
        color: box.color
    }
}
