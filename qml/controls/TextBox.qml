import QtQuick 2.7
import QtQuick.Controls 2.2

// A wrapped label in the interface's font.
Label {
    font.family: "DejaVu Sans"
    wrapMode: Text.WordWrap
}
