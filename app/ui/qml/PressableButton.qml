// What every button of the windows shares: dims to 70 % and shrinks to 98 %
// while pressed (0.12 s ease-out), follows the pointer for its hover look,
// and shows a hand over it.
import QtQuick
import Amparo
import QtQuick.Controls.Basic

AbstractButton {
    id: control
    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    opacity: down ? 0.7 : (enabled ? 1.0 : 0.45)
    scale: down ? 0.98 : 1.0
    Behavior on opacity { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
    Behavior on scale { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
    Accessible.name: text

    HoverHandler { cursorShape: Qt.PointingHandCursor }
}
