// A symbol on a rounded tile of its own colour; decoration beside a text.
import QtQuick
import Amparo

Rectangle {
    property alias symbol: glyph.name
    property color tileColor: Theme.accent
    property real size: 40
    width: size
    height: size
    radius: 0.3 * size
    color: Qt.alpha(tileColor, 0.16)
    border.width: 1
    border.color: Qt.alpha(tileColor, 0.24)
    Accessible.ignored: true

    Symbol {
        id: glyph
        anchors.centerIn: parent
        size: 0.46 * parent.size
        color: parent.tileColor
    }
}
