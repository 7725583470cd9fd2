// A short confirmation that slides in from the bottom for a few seconds.
import QtQuick
import Qt5Compat.GraphicalEffects
import Amparo

Item {
    id: banner
    property string text
    readonly property bool shown: text !== ""
    property string lastText
    onTextChanged: if (text !== "") lastText = text

    width: pill.width
    height: pill.height
    opacity: shown ? 1 : 0
    transform: Translate { y: banner.shown ? 0 : banner.height + 18 }
    Behavior on opacity { NumberAnimation { duration: banner.shown ? 200 : 300; easing.type: banner.shown ? Easing.OutQuad : Easing.InQuad } }
    visible: opacity > 0

    DropShadow {
        anchors.fill: pill
        source: pill
        verticalOffset: 6
        radius: 14
        samples: 29
        color: Qt.rgba(0, 0, 0, 0.4)
    }
    Rectangle {
        id: pill
        width: row.width + 32
        height: row.height + 20
        radius: height / 2
        color: Theme.navy
        border.width: 1
        border.color: Qt.alpha(Theme.accent, 0.35)
        Row {
            id: row
            anchors.centerIn: parent
            spacing: 8
            Symbol { name: "checkmark.circle.fill"; color: Theme.accent; size: 14; anchors.verticalCenter: parent.verticalCenter }
            Text { text: banner.lastText; font: Theme.bodyBold; color: Theme.textPrimary }
        }
    }
}
