// A translucent card: the content gets `padding` on every side and the full
// width; a tint colours the fill and the outline (none: white at 7.5 %/3 %).
import QtQuick
import Amparo

Item {
    id: card
    property real padding: 16
    property color tint: "transparent"
    readonly property bool tinted: tint.a > 0
    default property alias content: holder.data

    implicitHeight: holder.childrenRect.height + 2 * padding
    width: parent ? parent.width : implicitWidth
    height: implicitHeight

    Rectangle {
        anchors.fill: parent
        radius: 16
        gradient: Gradient {
            GradientStop { position: 0; color: card.tinted ? Qt.alpha(card.tint, 0.13) : Qt.rgba(1, 1, 1, 0.075) }
            GradientStop { position: 1; color: card.tinted ? Qt.alpha(card.tint, 0.06) : Qt.rgba(1, 1, 1, 0.03) }
        }
        border.width: 1
        border.color: card.tinted ? Qt.alpha(card.tint, 0.35) : Theme.hairline
    }
    Item {
        id: holder
        x: card.padding
        y: card.padding
        width: card.width - 2 * card.padding
        height: childrenRect.height
    }
}
