// A small text link of the footer.
import QtQuick
import Amparo

PressableButton {
    id: control
    implicitWidth: label.implicitWidth
    implicitHeight: label.implicitHeight
    background: null
    contentItem: Text {
        id: label
        text: control.text
        font.family: Theme.captionBold.family
        font.pixelSize: Theme.captionBold.pixelSize
        font.weight: Theme.captionBold.weight
        font.underline: control.hovered
        color: control.hovered ? Theme.accent : Theme.textMuted
    }
}
