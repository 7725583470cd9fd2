// A hairline between settings rows, starting under the rows' text.
import QtQuick
import Amparo

Item {
    width: parent ? parent.width : 0
    height: 1
    Rectangle {
        x: 58
        width: parent.width - 58
        height: 1
        color: Qt.rgba(1, 1, 1, 0.07)
    }
}
