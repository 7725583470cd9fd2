import QtQuick
import QtTest
import Amparo
import AmparoPruebas
import "qrc:/qml"

Item {
    width: 480
    height: 600

    Column {
        width: 440
        x: 20
        spacing: 16
        QuoteCard { id: quotes; view: Fixture.view }
        SettingsSection { id: settings; view: Fixture.view }
    }

    TestCase {
        name: "WindowControls"
        when: windowShown

        function init() {
            Fixture.reset("activa")
        }

        function test_quoteArrowsWrapAroundAndTakeQuickPresses() {
            const next = findChild(quotes, "fraseSiguiente")
            quotes.index = 0
            mouseClick(findChild(quotes, "fraseAnterior"))
            tryCompare(quotes, "index", 9, 2000, "before the first comes the tenth")
            mouseClick(next)
            tryCompare(quotes, "index", 0, 2000, "after the tenth comes the first")
            tryCompare(quotes, "textOpacity", 1, 2000)
            quotes.index = 3
            mouseClick(next)
            mouseClick(next)
            tryCompare(quotes, "index", 5, 2000, "two quick presses, two steps")
        }

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
            mouseClick(keyword)
            tryCompare(keyword, "checked", false, 2000, "the filter was not switched on")
        }
    }
}
