// A quotation that changes every 20 seconds or with the arrows, fading out
// and in; the arrows wrap around the ten quotations.
import QtQuick
import Amparo

GlassCard {
    id: card
    required property WindowViewModel view
    readonly property int count: view.quotes.length
    property int index: Math.floor(Math.random() * count)
    property real textOpacity: 1.0
    padding: 18

    function change(step) {
        fadeOut.restart()
        stepper.createObject(card, { step: step })
    }

    NumberAnimation {
        id: fadeOut
        target: card; property: "textOpacity"; to: 0
        duration: 350; easing.type: Easing.InOutQuad
    }
    NumberAnimation {
        id: fadeIn
        target: card; property: "textOpacity"; to: 1
        duration: 350; easing.type: Easing.InOutQuad
    }
    // Each step lands after its own fade, even when the arrow is pressed
    // again before the first one landed.
    Component {
        id: stepper
        Timer {
            property int step
            interval: 350
            running: true
            onTriggered: {
                card.index = ((card.index + step) % card.count + card.count) % card.count
                fadeIn.restart()
                destroy()
            }
        }
    }
    Timer {
        interval: 20000
        repeat: true
        running: card.visible
        onTriggered: card.change(1)
    }

    Column {
        width: parent.width
        spacing: 10

        Row {
            width: parent.width
            spacing: 10
            Symbol {
                name: "quote.opening"
                color: Qt.alpha(Theme.accent, 0.55)
                size: 15
            }
            Text {
                objectName: "textoFrase"
                width: parent.width - 25
                height: Math.max(40, implicitHeight)
                text: card.view.quotes[card.index].text
                font: Theme.quote
                color: Theme.textBody
                wrapMode: Text.Wrap
                opacity: card.textOpacity
            }
        }
        Item {
            width: parent.width
            height: 24
            Text {
                objectName: "fuenteFrase"
                text: card.view.quotes[card.index].source
                font.family: Theme.captionBold.family
                font.pixelSize: Theme.captionBold.pixelSize
                font.weight: Theme.captionBold.weight
                font.capitalization: Font.AllUppercase
                font.letterSpacing: 1.2
                color: Theme.textMuted
                opacity: card.textOpacity
                anchors.verticalCenter: parent.verticalCenter
            }
            Row {
                anchors.right: parent.right
                PressableButton {
                    objectName: "fraseAnterior"
                    width: 24; height: 24
                    Accessible.name: "Frase anterior"
                    background: null
                    contentItem: Item { Symbol { anchors.centerIn: parent; name: "chevron.left"; color: Theme.accent; size: 11 } }
                    onClicked: card.change(-1)
                }
                PressableButton {
                    objectName: "fraseSiguiente"
                    width: 24; height: 24
                    Accessible.name: "Frase siguiente"
                    background: null
                    contentItem: Item { Symbol { anchors.centerIn: parent; name: "chevron.right"; color: Theme.accent; size: 11 } }
                    onClicked: card.change(1)
                }
            }
        }
    }
}
