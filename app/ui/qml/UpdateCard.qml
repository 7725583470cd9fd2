// Shown when the installed filter is older than this Amparo.
import QtQuick
import Amparo

GlassCard {
    id: card
    required property WindowViewModel view
    padding: 16
    tint: Theme.gold

    Item {
        width: parent.width
        height: Math.max(40, texts.height, button.height)
        IconTile {
            id: tile
            symbol: "arrow.down.circle.fill"
            tileColor: Theme.gold
            size: 40
            anchors.verticalCenter: parent.verticalCenter
        }
        Column {
            id: texts
            spacing: 1
            anchors.left: tile.right
            anchors.leftMargin: 14
            anchors.right: button.left
            anchors.rightMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            Text {
                width: parent.width
                text: "Hay una versión nueva del filtro"
                font: Theme.bodyBold
                color: Theme.textPrimary
                wrapMode: Text.Wrap
            }
            Text {
                width: parent.width
                text: "Tarda unos segundos y pide tu contraseña."
                font: Theme.caption
                color: Theme.textSecondary
                wrapMode: Text.Wrap
            }
        }
        PrimaryButton {
            id: button
            text: "Actualizar"
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            onClicked: card.view.trigger("activate")
        }
    }
}
