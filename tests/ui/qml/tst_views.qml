import QtQuick
import QtTest
import Amparo
import AmparoPruebas
import "qrc:/qml"

// Both views side by side, each with its own TestCase.
Item {
    width: 960
    height: 1320

    SitesView {
        id: view
        x: 20
        y: 20
        sheet: Fixture.sheet
    }

    TestCase {
        name: "SitesView"
        when: windowShown

        readonly property var blocked: findChild(view, "blockedEditor")
        readonly property var allowed: findChild(view, "allowedEditor")

        function part(editor, name) {
            const found = findChild(editor, name)
            verify(found, name)
            return found
        }

        function typeIn(editor, text) {
            mouseClick(part(editor, "siteField"))
            for (const character of text)
                keyClick(character)
        }

        function init() { Fixture.reset("sitios") }

        function test_returnAddsTheSiteClearsTheFieldAndTheListScrolls() {
            const list = part(blocked, "siteList")
            compare(list.height, 2 * 36)
            typeIn(blocked, "Ejemplo.com/juegos")
            keyClick(Qt.Key_Return)
            compare(Fixture.sheet.blocked.count, 3)
            compare(part(blocked, "siteField").text, "")
            tryVerify(() => list.itemAtIndex(2) !== null)
            compare(list.itemAtIndex(2).site, "ejemplo.com")
            for (const site of ["a.com", "b.com"]) {
                typeIn(blocked, site)
                keyClick(Qt.Key_Return)
            }
            compare(list.height, 4 * 36)
            tryVerify(() => list.contentHeight > list.height)
        }

        function test_anEmptyListShowsItsTextAndATypoTheHintUntilEdited() {
            verify(part(allowed, "emptyText").visible)
            verify(!part(allowed, "siteList").visible)
            verify(!part(blocked, "emptyText").visible)
            const hint = part(allowed, "invalidHint")
            typeIn(allowed, "no es un sitio")
            keyClick(Qt.Key_Enter)
            verify(hint.visible)
            compare(part(allowed, "siteField").text, "no es un sitio")
            keyClick(Qt.Key_Backspace)
            verify(!hint.visible)
        }

        function test_escapeCancelsWithoutSaving() {
            typeIn(blocked, "ejemplo.com")
            keyClick(Qt.Key_Return)
            keyClick(Qt.Key_Escape)
            verify(!Fixture.model.showSites)
            compare(Fixture.savedSites.length, 0)
        }

        function test_saveWaitsForAChangeThenClosesAndHandsOverBothLists() {
            const save = findChild(view, "saveButton")
            verify(!save.enabled)
            verify(!part(allowed, "addButton").enabled)
            typeIn(allowed, "Escuela.edu")
            verify(part(allowed, "addButton").enabled)
            verify(!save.enabled, "a draft alone is no change")
            mouseClick(part(allowed, "addButton"))
            verify(save.enabled)
            const first = part(blocked, "siteList").itemAtIndex(0)
            compare(first.site, "apuestas-online.example")
            mouseClick(part(first, "removeButton"))
            mouseClick(save)
            verify(!Fixture.model.showSites)
            compare(Fixture.savedSites.length, 1)
            compare(Array.from(Fixture.savedSites[0].blocked), ["juegos-de-azar.example"])
            compare(Array.from(Fixture.savedSites[0].allowed), ["escuela.edu"])
            verify(!Fixture.savedSites[0].sheetShown, "the sheet must be gone before saving")
        }
    }

    Column {
        width: 440
        x: 500
        spacing: 16
        SettingsSection { id: settings; view: Fixture.view }
        TrustedPersonSection { id: trusted; person: Fixture.view.trustedPerson }
    }

    TestCase {
        name: "TrustedPersonSection"
        when: windowShown

        function entry(name) { return findChild(findChild(trusted, name), "entrada") }

        function test_aProblemIsShownInsteadOfSavingAndTheSecurityMovesThePort() {
            Fixture.reset("activa")
            verify(!findChild(trusted, "quitarConfianza").visible, "nobody to remove")
            mouseClick(entry("campoCorreo"))
            for (const character of "ana")
                keyClick(character)
            mouseClick(findChild(trusted, "guardarConfianza"))
            compare(findChild(trusted, "mensajeConfianza").text,
                    "El correo no parece válido: tiene que ser como ana@ejemplo.org.")
            compare(Fixture.personSaves, 0)
            findChild(trusted, "selectorCifrado").activated(1)
            compare(entry("campoPuerto").text, "465")
        }
    }

    TestCase {
        name: "WindowControls"
        when: windowShown

        function init() { Fixture.reset("activa") }

        function test_pickerSnapsBackWhenNothingChanged() {
            const picker = findChild(settings, "selectorDestino")
            compare(picker.currentIndex, 0)
            const before = Fixture.destinationRequests
            // The user picks "Otra página…", then cancels the address dialog.
            picker.currentIndex = 2
            picker.activated(2)
            tryVerify(() => Fixture.destinationRequests === before + 1, 2000)
            tryCompare(picker, "currentIndex", 0, 2000, "shows what the model observes")
        }

        function test_switchSnapsBackWhenNothingChanged() {
            const keyword = findChild(settings, "interruptorPalabras")
            verify(!keyword.checked)
            const before = Fixture.keywordRequests
            mouseClick(keyword)
            tryVerify(() => Fixture.keywordRequests === before + 1, 2000, "the click asked for it")
            tryCompare(keyword, "checked", false, 2000, "the filter was not switched on")
        }
    }
}
