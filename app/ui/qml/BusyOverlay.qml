// While a root command runs, the window dims and takes no input.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

Rectangle {
    id: overlay
    property string text
    color: Qt.alpha(Theme.night, 0.55)

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        hoverEnabled: true
        onWheel: (wheel) => wheel.accepted = true
    }
    Rectangle {
        anchors.centerIn: parent
        width: content.width + 56
        height: content.height + 44
        radius: 16
        color: Theme.navy
        border.width: 1
        border.color: Theme.hairline
        Column {
            id: content
            anchors.centerIn: parent
            spacing: 12
            BusyIndicator { running: overlay.visible; anchors.horizontalCenter: parent.horizontalCenter }
            Text { text: overlay.text; font: Theme.bodyBold; color: Theme.textPrimary; anchors.horizontalCenter: parent.horizontalCenter }
        }
    }
}
