// One labelled field of a form: the label in a column of its own, the field
// on a quiet rounded box. It shows what the view model holds; each edit goes
// out through edited().
import QtQuick
import QtQuick.Controls.Basic
import Amparo

Item {
    id: field
    property string label
    property string text
    property string placeholder
    property int echoMode: TextInput.Normal
    property real labelWidth: 96
    signal edited(string text)

    width: parent ? parent.width : 0
    implicitHeight: 34
    opacity: enabled ? 1 : 0.5

    Text {
        width: field.labelWidth - 8
        anchors.verticalCenter: parent.verticalCenter
        text: field.label
        font: Theme.body
        color: Theme.textSecondary
        elide: Text.ElideRight
    }
    TextField {
        id: input
        objectName: "entrada"
        x: field.labelWidth
        width: field.width - field.labelWidth
        height: field.height
        leftPadding: 12
        rightPadding: 12
        verticalAlignment: TextInput.AlignVCenter
        font: Theme.body
        color: Theme.textPrimary
        placeholderText: field.placeholder
        placeholderTextColor: Theme.textMuted
        echoMode: field.echoMode
        selectByMouse: true
        text: field.text
        onTextEdited: field.edited(text)
        background: Rectangle {
            radius: 10
            color: Qt.rgba(1, 1, 1, 0.05)
            border.color: input.activeFocus ? Qt.alpha(Theme.accent, 0.6) : Theme.hairline
        }
    }
}
