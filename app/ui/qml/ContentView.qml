// The window's content: the painted header, the cards, and over them the
// notice banner, the site lists sheet and the busy overlay.
import QtQuick
import QtQuick.Controls.Basic
import Amparo

Item {
    id: root
    required property ProtectionModel model
    required property WindowViewModel view
    required property SitesSheet sheet

    Flickable {
        id: scroller
        objectName: "desplazador"
        anchors.fill: parent
        contentWidth: width
        contentHeight: column.height
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        interactive: !root.model.busy && !root.model.showSites
        ScrollBar.vertical: ScrollBar { policy: ScrollBar.AlwaysOff }

        Column {
            id: column
            width: scroller.width

            HeroView { width: parent.width; view: root.view }

            Column {
                x: 20
                width: parent.width - 40
                topPadding: 12
                bottomPadding: 28
                spacing: 16

                StatusCard { view: root.view }
                UpdateCard { view: root.view; visible: root.view.showsUpdateCard }
                QuoteCard { view: root.view }
                SettingsSection { view: root.view; visible: root.view.installed }
                TrustedPersonSection {
                    person: root.view.trustedPerson
                    visible: root.view.installed
                }
                DonationCard { view: root.view }
                Footer { view: root.view }
            }
        }
    }

    NoticeBanner {
        text: root.model.notice
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 18
    }

    // The sheet: the window dims behind it and takes no input.
    Rectangle {
        anchors.fill: parent
        visible: root.model.showSites
        color: Qt.alpha(Theme.night, 0.6)
        MouseArea { anchors.fill: parent; acceptedButtons: Qt.AllButtons; onWheel: {} }

        Flickable {
            anchors.fill: parent
            contentHeight: Math.max(height, sitesView.height + 48)
            boundsBehavior: Flickable.StopAtBounds
            SitesView {
                id: sitesView
                objectName: "hojaSitios"
                sheet: root.sheet
                anchors.horizontalCenter: parent.horizontalCenter
                y: 24
            }
        }
    }

    BusyOverlay {
        anchors.fill: parent
        text: root.model.busy
        visible: root.model.busy !== ""
    }
}
