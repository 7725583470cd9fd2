// The menu of where a blocked site leads. It always shows the destination
// the model reports; a choice only asks for the change.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

ComboBox {
    id: picker
    required property WindowViewModel view
    model: view.destinationLabels
    currentIndex: view.destinationIndex
    implicitWidth: 170
    implicitHeight: 30
    font: Theme.bodyBold

    onActivated: (index) => {
        view.chooseDestination(index)
        currentIndex = Qt.binding(() => picker.view.destinationIndex)
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
