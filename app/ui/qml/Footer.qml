// The motto, the links and the version.
import QtQuick
import Amparo

Column {
    id: footer
    required property WindowViewModel view
    width: parent ? parent.width : 0
    spacing: 8
    topPadding: 6

    Text {
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: footer.view.motto
        font: Theme.quote
        color: Theme.textMuted
        wrapMode: Text.Wrap
    }
    Row {
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: 16
        FooterLink {
            visible: footer.view.installed
            text: "Ver el registro"
            onClicked: footer.view.trigger("openLog")
        }
        FooterLink {
            visible: footer.view.installed
            text: "Desinstalar"
            onClicked: footer.view.trigger("uninstall")
        }
        FooterLink {
            text: footer.view.websiteHost
            onClicked: footer.view.trigger("openWebsite")
        }
    }
    Row {
        anchors.horizontalCenter: parent.horizontalCenter
        spacing: 6
        Text {
            text: "Versión " + footer.view.version
            font: Theme.caption
            color: Theme.textMuted
        }
        FooterLink {
            text: "Buscar actualizaciones"
            onClicked: footer.view.trigger("checkForUpdates")
        }
    }
}
