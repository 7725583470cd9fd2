// The sheet for the user's own sites, shown over the window: two lists and
// "Guardar", which stays off until something differs from what was opened.
import QtQuick
import Amparo

Rectangle {
    id: root
    required property SitesSheet sheet

    width: 440
    implicitHeight: content.implicitHeight
    height: implicitHeight
    color: Theme.night
    radius: 16
    border.width: 1
    border.color: Theme.hairline

    Shortcut {
        sequence: "Escape"
        enabled: root.visible
        onActivated: root.sheet.cancel()
    }

    Column {
        id: content
        width: parent.width
        padding: 24
        spacing: 18

        Column {
            width: parent.width - 2 * content.padding
            spacing: 4
            Text {
                text: "Tus sitios"
                font: Theme.heading
                color: Theme.textPrimary
            }
            Text {
                width: parent.width
                text: "Se suman a la lista de Amparo. Si un sitio está en las dos, gana «Permitidos»."
                font: Theme.caption
                color: Theme.textSecondary
                wrapMode: Text.Wrap
            }
        }

        SiteListEditor {
            objectName: "blockedEditor"
            width: parent.width - 2 * content.padding
            title: "Bloqueados"
            symbolName: "nosign"
            emptyText: "Ninguno todavía."
            model: root.sheet.blocked
        }

        SiteListEditor {
            objectName: "allowedEditor"
            width: parent.width - 2 * content.padding
            title: "Permitidos"
            symbolName: "checkmark.seal"
            emptyText: "Para un sitio que quedó bloqueado por error."
            model: root.sheet.allowed
        }

        Item {
            width: parent.width - 2 * content.padding
            height: buttons.height
            Row {
                id: buttons
                anchors.right: parent.right
                spacing: 10
                SecondaryButton {
                    objectName: "cancelButton"
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Cancelar"
                    tone: Theme.textSecondary
                    onClicked: root.sheet.cancel()
                }
                PrimaryButton {
                    objectName: "saveButton"
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Guardar"
                    enabled: root.sheet.hasChanges
                    onClicked: root.sheet.save()
                }
            }
        }
    }
}
