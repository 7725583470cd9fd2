// Amparo's main window. Closing it only hides it: Amparo stays in the tray.
import QtQuick
import QtQuick.Window
import Amparo

Window {
    id: window
    required property ProtectionModel model
    required property WindowViewModel view
    required property SitesSheet sheet

    title: "Amparo"
    color: Theme.windowBackground
    width: 480
    height: 800
    minimumWidth: 440
    minimumHeight: 560

    onClosing: (close) => {
        close.accepted = false
        window.hide()
    }

    Shortcut { sequence: "Ctrl+W"; onActivated: window.close() }
    // Not while a root command runs: it must finish with Amparo there.
    Shortcut {
        sequence: "Ctrl+Q"
        context: Qt.ApplicationShortcut
        onActivated: if (window.model.busy === "") Qt.quit()
    }

    ContentView {
        anchors.fill: parent
        model: window.model
        view: window.view
        sheet: window.sheet
    }
}
