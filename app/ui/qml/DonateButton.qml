// The warm button of the donation card: lifts a little under the pointer.
import QtQuick
import QtQuick.Controls.Basic
import Qt5Compat.GraphicalEffects
import Amparo

PressableButton {
    id: control
    text: "Donar"
    implicitHeight: 36
    implicitWidth: label.implicitWidth + 36
    leftPadding: 18
    rightPadding: 18
    transform: Translate { y: control.hovered ? -1 : 0; Behavior on y { NumberAnimation { duration: 200; easing.type: Easing.OutQuad } } }
    Accessible.name: "Donar con PayPal"
    ToolTip.visible: hovered
    ToolTip.delay: 600
    ToolTip.text: "Abre PayPal en el navegador"

    background: Item {
        DropShadow {
            anchors.fill: capsule
            source: capsule
            verticalOffset: 4
            radius: control.hovered ? 12 : 8
            samples: 25
            color: Qt.alpha(Theme.heart, control.hovered ? 0.5 : 0.35)
        }
        Rectangle {
            id: capsule
            anchors.fill: parent
            radius: height / 2
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0; color: Theme.donateStart }
                GradientStop { position: 0.5; color: Theme.donateMiddle }
                GradientStop { position: 1; color: Theme.donateEnd }
            }
        }
    }
    contentItem: Row {
        id: label
        spacing: 6
        Symbol { name: "heart.fill"; color: "white"; size: 12; anchors.verticalCenter: parent.verticalCenter }
        Text { text: control.text; font: Theme.bodyBold; color: "white"; anchors.verticalCenter: parent.verticalCenter }
    }
}
