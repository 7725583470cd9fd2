// The protection settings: the block list, the own sites, where a block
// leads, the keyword filter and the wait before loosening. The pickers and
// the switch show what was observed; a change asks the actions and the next
// snapshot answers.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

Column {
    id: section
    required property WindowViewModel view
    width: parent ? parent.width : 0
    spacing: 8

    Eyebrow { text: "Protección" }

    GlassCard {
        padding: 2
        Column {
            width: parent.width
            spacing: 0

            SettingRow {
                symbol: "list.bullet.rectangle.fill"
                title: "Lista de sitios"
                detail: section.view.listDetail
                SecondaryButton {
                    text: "Actualizar"
                    tone: Theme.accent
                    onClicked: section.view.trigger("updateList")
                }
            }
            RowDivider {}
            SettingRow {
                objectName: "filaTusSitios"
                symbol: "hand.raised.fill"
                title: "Tus sitios"
                detail: section.view.sitesDetail
                onPressed: section.view.openSites()
                Symbol { name: "chevron.right"; color: Theme.textMuted; size: 12 }
            }
            RowDivider {}
            SettingRow {
                symbol: "arrow.uturn.right"
                title: "Al bloquear un sitio"
                detail: "Qué se abre en el navegador."
                ChoicePicker {
                    objectName: "selectorDestino"
                    labels: section.view.destinationLabels
                    reported: section.view.destinationIndex
                    onChosen: (index) => section.view.chooseDestination(index)
                }
            }
            RowDivider {}
            SettingRow {
                objectName: "filaBloqueoDns"
                symbol: "lock.fill"
                title: "Bloqueo de DNS"
                detail: section.view.lockDetail
            }
            RowDivider {}
            SettingRow {
                symbol: "text.magnifyingglass"
                title: "Filtro por palabras"
                detail: section.view.keywordDetail
                Switch {
                    id: keywordSwitch
                    objectName: "interruptorPalabras"
                    checked: section.view.keywordOn
                    padding: 0
                    implicitWidth: 40
                    implicitHeight: 22
                    onToggled: {
                        section.view.setKeywordFilter(checked)
                        // Show what is, until the next snapshot says otherwise.
                        checked = Qt.binding(() => section.view.keywordOn)
                    }
                    indicator: Rectangle {
                        x: 0
                        y: 0
                        implicitWidth: 40
                        implicitHeight: 22
                        radius: 11
                        color: keywordSwitch.checked ? Theme.accentStrong : Qt.rgba(1, 1, 1, 0.14)
                        border.color: Theme.hairline
                        Rectangle {
                            x: keywordSwitch.checked ? parent.width - width - 2 : 2
                            anchors.verticalCenter: parent.verticalCenter
                            width: 18; height: 18; radius: 9
                            color: "white"
                            Behavior on x { NumberAnimation { duration: 120 } }
                        }
                    }
                    contentItem: null
                }
            }
            RowDivider {}
            SettingRow {
                symbol: "timer"
                title: "Espera para aflojar"
                detail: section.view.waitDetail
                ChoicePicker {
                    objectName: "selectorEspera"
                    implicitWidth: 124
                    labels: section.view.waitLabels
                    reported: section.view.waitIndex
                    enabled: section.view.waitKnown
                    onChosen: (index) => section.view.chooseWait(index)
                }
            }
        }
    }
}
