// The painted header: a painting (cross-fading every 12 s when there are
// several) or the night gradient, with the logo, the name and the tagline.
import QtQuick
import Qt5Compat.GraphicalEffects
import Amparo

Item {
    id: hero
    required property WindowViewModel view
    property int index: 0
    // 1.2 s when the timer moves on, 0.8 s when a dot is tapped.
    property int fadeDuration: 1200
    readonly property int count: view.paintings.length
    height: 220
    clip: true

    Rectangle {
        anchors.fill: parent
        visible: hero.count === 0
        gradient: Gradient {
            GradientStop { position: 0; color: Theme.navy }
            GradientStop { position: 1; color: Theme.night }
        }
    }
    Repeater {
        model: hero.view.paintings
        Image {
            anchors.fill: parent
            source: modelData.source
            fillMode: Image.PreserveAspectCrop
            scale: 1.08
            asynchronous: true
            opacity: index === hero.index ? 1 : 0
            Behavior on opacity { NumberAnimation { duration: hero.fadeDuration; easing.type: Easing.InOutQuad } }
        }
    }
    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: Qt.rgba(0, 0, 0, 0.55) }
            GradientStop { position: 0.25; color: "transparent" }
            GradientStop { position: 0.45; color: "transparent" }
            GradientStop { position: 0.88; color: Qt.rgba(0, 0, 0, 0.9) }
            GradientStop { position: 1.0; color: "black" }
        }
    }
    Timer {
        interval: 12000
        repeat: true
        running: hero.visible && hero.count >= 2
        onTriggered: {
            hero.fadeDuration = 1200
            hero.index = (hero.index + 1) % hero.count
        }
    }

    Column {
        id: caption
        anchors.left: parent.left
        anchors.bottom: parent.bottom
        anchors.leftMargin: 20
        anchors.rightMargin: 20
        anchors.bottomMargin: 14
        spacing: 10
        layer.enabled: true
        layer.effect: DropShadow {
            verticalOffset: 1
            radius: 4
            samples: 9
            color: Qt.rgba(0, 0, 0, 0.5)
        }

        Row {
            spacing: 12
            Image {
                id: logo
                source: "qrc:/amparo-logo.png"
                width: 58
                height: 58
                smooth: true
                mipmap: true
                anchors.verticalCenter: parent.verticalCenter
                visible: status === Image.Ready
            }
            Column {
                anchors.verticalCenter: parent.verticalCenter
                spacing: -2
                Text { text: "Amparo"; font: Theme.display; color: Theme.textPrimary }
                Text { text: hero.view.tagline; font: Theme.bodyBold; color: Theme.accent }
            }
        }
        Row {
            spacing: 8
            visible: hero.count > 0
            Text {
                text: hero.count > 0 ? hero.view.paintings[hero.index].credit : ""
                font: Theme.caption
                color: Qt.alpha(Theme.textSecondary, 0.85)
                anchors.verticalCenter: parent.verticalCenter
            }
            Row {
                spacing: 6
                anchors.verticalCenter: parent.verticalCenter
                Repeater {
                    model: hero.count
                    Rectangle {
                        height: 6
                        width: index === hero.index ? 16 : 6
                        radius: 3
                        color: Qt.rgba(1, 1, 1, index === hero.index ? 1 : 0.3)
                        MouseArea {
                            anchors.fill: parent
                            anchors.margins: -4
                            cursorShape: Qt.PointingHandCursor
                            onClicked: {
                                hero.fadeDuration = 800
                                hero.index = index
                            }
                        }
                    }
                }
            }
        }
    }
}
