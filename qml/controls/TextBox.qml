import QtQuick 2.7
import QtQuick.Controls 2.2

// A wrapped label in the interface's font: a word longer than the line is broken, and a
// text longer than maximumLineCount lines ends in an ellipsis.
Label {
    font.family: "DejaVu Sans"
    wrapMode: Text.Wrap
    maximumLineCount: 3
    elide: Text.ElideRight
}
