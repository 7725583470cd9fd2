// One row of the settings card: icon tile, title, optional detail, and the
// control at the trailing end. The whole row takes presses.
import QtQuick
import Amparo

Item {
    id: row
    property string symbol
    property string title
    property string detail
    default property alias accessory: trailing.data
    signal pressed()

    width: parent ? parent.width : 0
    implicitHeight: Math.max(32, texts.height, trailing.childrenRect.height) + 22

    MouseArea {
        anchors.fill: parent
        onClicked: row.pressed()
    }
    IconTile {
        id: tile
        x: 14
        symbol: row.symbol
        tileColor: Theme.accent
        size: 32
        anchors.verticalCenter: parent.verticalCenter
    }
    Column {
        id: texts
        spacing: 1
        anchors.left: tile.right
        anchors.leftMargin: 12
        anchors.right: trailing.left
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        Text {
            width: parent.width
            text: row.title
            font: Theme.bodyBold
            color: Theme.textPrimary
            elide: Text.ElideRight
        }
        Text {
            width: parent.width
            visible: row.detail !== ""
            text: row.detail
            font: Theme.caption
            color: Theme.textSecondary
            wrapMode: Text.Wrap
        }
    }
    Item {
        id: trailing
        anchors.right: parent.right
        anchors.rightMargin: 14
        anchors.verticalCenter: parent.verticalCenter
        width: childrenRect.width
        height: childrenRect.height
    }
}
