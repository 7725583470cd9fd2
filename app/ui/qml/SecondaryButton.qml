// A quiet action: coloured text on a capsule that shows only on hover.
import QtQuick
import Amparo

PressableButton {
    id: control
    property string symbolName
    property color tone: Theme.accent
    implicitHeight: 30
    implicitWidth: label.implicitWidth + 20
    leftPadding: 10
    rightPadding: 10

    background: Rectangle {
        radius: height / 2
        color: control.hovered ? Qt.alpha(control.tone, 0.14) : "transparent"
    }
    contentItem: Row {
        id: label
        spacing: 5
        Symbol {
            visible: control.symbolName !== ""
            name: control.symbolName
            color: control.tone
            size: 12
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            font: Theme.bodyBold
            color: control.tone
            anchors.verticalCenter: parent.verticalCenter
        }
    }
}
