// A symbol by its design name, drawn in one colour at `size` points.
import QtQuick
import Amparo
import QtQuick.Window

Image {
    property string name
    property color color: Theme.textPrimary
    property real size: 14
    width: size
    height: size
    source: name ? Theme.symbol(name, color) : ""
    sourceSize.width: Math.ceil(size * Screen.devicePixelRatio)
    sourceSize.height: Math.ceil(size * Screen.devicePixelRatio)
    smooth: true
    cache: true
}
