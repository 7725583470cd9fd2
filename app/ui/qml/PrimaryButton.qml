// The one strong action of a card: a sky-blue capsule with dark text.
import QtQuick
import Amparo
import Qt5Compat.GraphicalEffects

PressableButton {
    id: control
    property string symbolName
    implicitHeight: 36
    implicitWidth: label.implicitWidth + 40
    leftPadding: 20
    rightPadding: 20

    background: Item {
        DropShadow {
            anchors.fill: capsule
            source: capsule
            verticalOffset: 4
            radius: control.hovered ? 12 : 8
            samples: 25
            color: Qt.alpha(Theme.accentStrong, 0.35)
        }
        Rectangle {
            id: capsule
            anchors.fill: parent
            radius: height / 2
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0; color: Theme.accent }
                GradientStop { position: 1; color: Theme.accentStrong }
            }
            Rectangle {
                anchors.fill: parent
                radius: parent.radius
                color: "white"
                opacity: control.hovered ? 0.06 : 0
            }
        }
    }
    contentItem: Row {
        id: label
        spacing: 7
        Symbol {
            visible: control.symbolName !== ""
            name: control.symbolName
            color: Theme.onAccent
            size: 13
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            font: Theme.bodyBold
            color: Theme.onAccent
            anchors.verticalCenter: parent.verticalCenter
        }
    }
}
