// A small upper-case title above a card.
import QtQuick
import Amparo

Text {
    font.family: Theme.captionBold.family
    font.pixelSize: Theme.captionBold.pixelSize
    font.weight: Theme.captionBold.weight
    font.capitalization: Font.AllUppercase
    font.letterSpacing: 1.4
    color: Theme.textMuted
    leftPadding: 4
}
