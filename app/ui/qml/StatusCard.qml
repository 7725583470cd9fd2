// The state at a glance: symbol, title and detail for the state, the change
// that waits to loosen it with its cancel, the notices the trusted person has
// not got yet, and the one or two buttons that fit the state.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

GlassCard {
    id: card
    required property WindowViewModel view
    padding: 18
    tint: view.statusTinted ? Theme.coral : "transparent"
    Accessible.role: Accessible.Grouping

    Column {
        width: parent.width
        spacing: 14

        Item {
            width: parent.width
            height: Math.max(46, texts.height)
            BusyIndicator {
                visible: card.view.checking
                running: visible
                width: 46
                height: 46
                anchors.verticalCenter: parent.verticalCenter
            }
            IconTile {
                id: tile
                visible: !card.view.checking
                symbol: card.view.statusSymbol
                tileColor: card.view.statusColor
                size: 46
                anchors.verticalCenter: parent.verticalCenter
            }
            Column {
                id: texts
                anchors.left: tile.right
                anchors.leftMargin: 14
                anchors.right: deactivate.visible ? deactivate.left : parent.right
                anchors.rightMargin: deactivate.visible ? 8 : 0
                anchors.verticalCenter: parent.verticalCenter
                Text {
                    width: parent.width
                    text: card.view.statusTitle
                    font: Theme.heading
                    color: Theme.textPrimary
                    wrapMode: Text.Wrap
                }
                Text {
                    width: parent.width
                    text: card.view.statusDetail
                    font: Theme.body
                    color: Theme.textSecondary
                    wrapMode: Text.Wrap
                }
            }
            SecondaryButton {
                id: deactivate
                visible: card.view.showsDeactivate
                text: "Desactivar"
                tone: Theme.textMuted
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                onClicked: card.view.trigger("deactivate")
            }
        }

        Item {
            objectName: "cambioPendiente"
            visible: card.view.pendingLine !== ""
            width: parent.width
            height: Math.max(cancel.height, pendingTexts.height)
            Symbol {
                name: "hourglass"
                color: Theme.gold
                size: 16
                // Under the state's tile, centred on it.
                x: (46 - size) / 2
                anchors.verticalCenter: parent.verticalCenter
            }
            Column {
                id: pendingTexts
                anchors.left: parent.left
                anchors.leftMargin: 60
                anchors.right: cancel.left
                anchors.rightMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                Text {
                    width: parent.width
                    text: card.view.pendingLine
                    font: Theme.bodyBold
                    color: Theme.textPrimary
                    wrapMode: Text.Wrap
                }
                Text {
                    width: parent.width
                    visible: text !== ""
                    text: card.view.pendingFailure
                    font: Theme.caption
                    color: Theme.coral
                    wrapMode: Text.Wrap
                }
            }
            SecondaryButton {
                id: cancel
                objectName: "cancelarPendiente"
                text: "Cancelar"
                tone: Theme.accent
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                onClicked: card.view.trigger("cancelPending")
            }
        }

        Item {
            objectName: "avisosSinEnviar"
            visible: card.view.unsentLine !== ""
            width: parent.width
            height: unsentTexts.height
            Symbol {
                name: "envelope"
                color: Theme.textMuted
                size: 15
                // Under the state's tile, centred on it, as the pending change's.
                x: (46 - size) / 2
                anchors.verticalCenter: parent.verticalCenter
            }
            Column {
                id: unsentTexts
                anchors.left: parent.left
                anchors.leftMargin: 60
                anchors.right: parent.right
                Text {
                    width: parent.width
                    text: card.view.unsentLine
                    font: Theme.body
                    color: Theme.textSecondary
                    wrapMode: Text.Wrap
                }
                Text {
                    width: parent.width
                    visible: text !== ""
                    text: card.view.unsentFault
                    font: Theme.caption
                    color: Theme.textMuted
                    wrapMode: Text.Wrap
                }
            }
        }

        Row {
            spacing: 8
            visible: card.view.statusButtons.length > 0
            Repeater {
                model: card.view.statusButtons
                Loader {
                    sourceComponent: modelData.primary ? primary : secondary
                    property var button: modelData
                }
            }
        }
    }

    Component {
        id: primary
        PrimaryButton {
            text: button.title
            symbolName: button.symbol
            onClicked: card.view.trigger(button.action)
        }
    }
    Component {
        id: secondary
        SecondaryButton {
            text: button.title
            symbolName: button.symbol
            tone: Theme.accent
            anchors.verticalCenter: parent ? parent.verticalCenter : undefined
            onClicked: card.view.trigger(button.action)
        }
    }
}
