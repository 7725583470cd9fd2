// A menu of choices that always shows the one the model reports ("—" for
// none); picking one only asks for the change, and the next snapshot answers.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

ComboBox {
    id: picker
    property var labels: []
    property int reported: -1
    signal chosen(int index)
    model: labels
    currentIndex: reported
    displayText: currentIndex < 0 ? "—" : currentText
    implicitWidth: 170
    implicitHeight: 30
    font: Theme.bodyBold
    opacity: enabled ? 1 : 0.5

    onActivated: (index) => {
        chosen(index)
        currentIndex = Qt.binding(() => picker.reported)
    }

    background: Rectangle {
        radius: 15
        color: picker.hovered || picker.pressed ? Qt.alpha(Theme.accent, 0.14) : "transparent"
        border.color: Qt.alpha(Theme.accent, 0.35)
    }
    contentItem: Text {
        leftPadding: 12
        rightPadding: picker.indicator.width + 4
        text: picker.displayText
        font: Theme.bodyBold
        color: Theme.accent
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    indicator: Symbol {
        x: picker.width - width - 10
        y: (picker.height - height) / 2
        name: "chevron.down"
        color: Theme.accent
        size: 10
    }
    delegate: ItemDelegate {
        width: picker.popup.width
        highlighted: picker.highlightedIndex === index
        contentItem: Text {
            text: modelData
            font: Theme.body
            color: highlighted ? Theme.onAccent : Theme.textPrimary
        }
        background: Rectangle { color: highlighted ? Theme.accent : "transparent"; radius: 6 }
    }
    popup.background: Rectangle {
        color: Theme.navy
        radius: 10
        border.color: Theme.hairline
    }
}
