// The trusted person: who is told when the protection gets worse, and the
// mail server that tells them. The fields show what the view model holds;
// the buttons ask it, and the next snapshot answers.
import QtQuick
import Amparo

Column {
    id: section
    required property TrustedPersonView person
    objectName: "seccionConfianza"
    width: parent ? parent.width : 0
    spacing: 8

    Eyebrow { text: "Persona de confianza" }

    GlassCard {
        padding: 2
        Column {
            width: parent.width
            spacing: 0

            SettingRow {
                symbol: "person.badge.shield"
                title: section.person.title
                detail: section.person.detail
            }
            RowDivider {}

            Column {
                id: form
                x: 14
                width: parent.width - 28
                topPadding: 14
                bottomPadding: 14
                spacing: 8
                enabled: section.person.known

                FormField {
                    objectName: "campoCorreo"
                    label: "Correo"
                    placeholder: "ana@ejemplo.org"
                    text: section.person.address
                    onEdited: (text) => section.person.address = text
                }
                FormField {
                    objectName: "campoServidor"
                    label: "Servidor"
                    placeholder: "smtp.ejemplo.org"
                    text: section.person.server
                    onEdited: (text) => section.person.server = text
                }
                FormField {
                    objectName: "campoPuerto"
                    label: "Puerto"
                    width: labelWidth + 90
                    text: section.person.port
                    onEdited: (text) => section.person.port = text
                }
                Item {
                    width: parent.width
                    height: 34
                    opacity: enabled ? 1 : 0.5
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Cifrado"
                        font: Theme.body
                        color: Theme.textSecondary
                    }
                    ChoicePicker {
                        objectName: "selectorCifrado"
                        x: 96
                        anchors.verticalCenter: parent.verticalCenter
                        labels: section.person.securityLabels
                        reported: section.person.securityIndex
                        onChosen: (index) => section.person.chooseSecurity(index)
                    }
                }
                Text {
                    x: 96
                    width: parent.width - 96
                    visible: text !== ""
                    text: section.person.securityDetail
                    font: Theme.caption
                    color: Theme.textMuted
                    wrapMode: Text.Wrap
                }
                FormField {
                    objectName: "campoUsuario"
                    label: "Usuario"
                    placeholder: "vacío si el servidor no lo pide"
                    text: section.person.user
                    onEdited: (text) => section.person.user = text
                }
                FormField {
                    objectName: "campoClave"
                    label: "Contraseña"
                    echoMode: TextInput.Password
                    placeholder: section.person.hasPerson ? "escribila de nuevo para guardar" : ""
                    text: section.person.password
                    onEdited: (text) => section.person.password = text
                }

                Text {
                    objectName: "mensajeConfianza"
                    width: parent.width
                    visible: text !== ""
                    topPadding: 2
                    text: section.person.message
                    font: Theme.caption
                    color: section.person.messageGood ? Theme.accent : Theme.coral
                    wrapMode: Text.Wrap
                }

                Item {
                    width: parent.width
                    height: buttons.height
                    Row {
                        id: buttons
                        anchors.right: parent.right
                        spacing: 10
                        SecondaryButton {
                            objectName: "quitarConfianza"
                            visible: section.person.hasPerson
                            anchors.verticalCenter: parent.verticalCenter
                            text: "Quitar"
                            tone: Theme.textMuted
                            onClicked: section.person.remove()
                        }
                        SecondaryButton {
                            objectName: "probarConfianza"
                            anchors.verticalCenter: parent.verticalCenter
                            text: "Enviar prueba"
                            symbolName: "envelope"
                            tone: Theme.accent
                            enabled: !section.person.testing
                            opacity: enabled ? 1 : 0.5
                            onClicked: section.person.sendTest()
                        }
                        PrimaryButton {
                            objectName: "guardarConfianza"
                            anchors.verticalCenter: parent.verticalCenter
                            text: "Guardar"
                            onClicked: section.person.save()
                        }
                    }
                }
            }
        }
    }
}
