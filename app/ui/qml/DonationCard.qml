// Amparo is free and without ads: this card asks for support.
import QtQuick
import Amparo

GlassCard {
    id: card
    required property WindowViewModel view
    padding: 16

    Item {
        width: parent.width
        height: Math.max(40, texts.height, button.height)
        IconTile {
            id: tile
            symbol: "heart.fill"
            tileColor: Theme.heart
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
                text: "Apoyá la obra"
                font: Theme.bodyBold
                color: Theme.textPrimary
            }
            Text {
                width: parent.width
                text: "Amparo es gratis y sin anuncios: se sostiene con tu aporte."
                font: Theme.caption
                color: Theme.textSecondary
                wrapMode: Text.Wrap
            }
        }
        DonateButton {
            id: button
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            onClicked: card.view.trigger("donate")
        }
    }
}
