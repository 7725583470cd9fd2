// One list of the sites sheet: a field to add a site, the hint when what
// was typed is no site, and the sites with a button each to take them out.
import QtQuick
import Amparo
import QtQuick.Controls.Basic

Column {
    id: editor
    property string title
    property string symbolName
    property string emptyText
    required property SiteListModel model

    spacing: 8

    readonly property real rowHeight: 36
    readonly property int visibleRows: 4

    Eyebrow {
        text: editor.title
    }

    GlassCard {
        padding: 0

        Column {
            width: parent.width
            spacing: 0

            Row {
                id: inputRow
                width: parent.width
                spacing: 8
                leftPadding: 14
                rightPadding: 6
                topPadding: 6
                bottomPadding: 6

                TextField {
                    id: field
                    objectName: "siteField"
                    anchors.verticalCenter: parent.verticalCenter
                    width: inputRow.width - inputRow.leftPadding - inputRow.rightPadding
                           - inputRow.spacing - addButton.width
                    leftPadding: 0
                    rightPadding: 0
                    background: null
                    font: Theme.body
                    color: Theme.textPrimary
                    placeholderText: "Escribí un sitio"
                    placeholderTextColor: Theme.textMuted
                    selectByMouse: true
                    text: editor.model.draft
                    onTextEdited: editor.model.draft = text
                    onAccepted: editor.model.addDraft()
                }

                SecondaryButton {
                    id: addButton
                    objectName: "addButton"
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Agregar"
                    symbolName: "plus"
                    tone: Theme.accent
                    enabled: editor.model.canAdd
                    onClicked: editor.model.addDraft()
                }
            }

            Text {
                objectName: "invalidHint"
                visible: editor.model.invalid
                width: parent.width
                leftPadding: 14
                rightPadding: 14
                bottomPadding: 8
                text: "Escribí sólo el dominio, por ejemplo: ejemplo.com"
                font: Theme.caption
                color: Theme.coral
                wrapMode: Text.Wrap
            }

            Text {
                objectName: "emptyText"
                visible: editor.model.count === 0
                width: parent.width
                leftPadding: 14
                rightPadding: 14
                topPadding: 10
                bottomPadding: 10
                text: editor.emptyText
                font: Theme.caption
                color: Theme.textMuted
                wrapMode: Text.Wrap
            }

            ListView {
                id: list
                objectName: "siteList"
                visible: editor.model.count > 0
                width: parent.width
                height: Math.min(editor.model.count, editor.visibleRows) * editor.rowHeight
                clip: true
                boundsBehavior: Flickable.StopAtBounds
                model: editor.model
                ScrollBar.vertical: ScrollBar {
                    policy: list.contentHeight > list.height ? ScrollBar.AlwaysOn
                                                             : ScrollBar.AlwaysOff
                }

                delegate: Row {
                    id: siteRow
                    required property string site
                    width: ListView.view.width
                    height: editor.rowHeight
                    spacing: 10
                    leftPadding: 14
                    rightPadding: 14
                    topPadding: 7
                    bottomPadding: 7

                    Item {
                        width: 18
                        height: parent.height - parent.topPadding - parent.bottomPadding
                        Symbol {
                            anchors.centerIn: parent
                            name: editor.symbolName
                            size: 12
                            color: Theme.accent
                        }
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        width: siteRow.width - siteRow.leftPadding - siteRow.rightPadding
                               - 18 - removeButton.width - 2 * siteRow.spacing
                        text: siteRow.site
                        font: Theme.body
                        color: Theme.textBody
                        elide: Text.ElideMiddle
                    }
                    PressableButton {
                        id: removeButton
                        objectName: "removeButton"
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Quitar " + siteRow.site
                        implicitWidth: 22
                        implicitHeight: 22
                        background: null
                        contentItem: Item {
                            Symbol {
                                anchors.centerIn: parent
                                name: "minus.circle.fill"
                                size: 14
                                color: Theme.textMuted
                            }
                        }
                        ToolTip.visible: hovered
                        ToolTip.text: text
                        onClicked: editor.model.removeSite(siteRow.site)
                    }
                }
            }
        }
    }
}
