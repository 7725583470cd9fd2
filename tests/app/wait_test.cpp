// The daemon's wait socket read as hostile input, and the lines shown for it.
#include "app/core/wait.h"

#include "tests/support/fake_wait_socket.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;

TEST(WaitReplyParser, TakesOnlyAWholeWellFormedReply) {
    using enum PendingAction;
    const auto full = parseWaitReply(
        "espera 900\npendiente a1 desactivar 820 -\npendiente b2 sitios 4000 3\n"
        "fallo b2 sin lugar en el disco\npendiente c espera 30 300\npendiente d confianza 60 -\n"
        "fin\n");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->waitSeconds, 900);
    EXPECT_EQ(full->pending,
              (std::vector<PendingChange>{{"a1", deactivate, 820, std::nullopt, ""},
                                          {"b2", sites, 4000, 3, "sin lugar en el disco"},
                                          {"c", shortenWait, 30, 300, ""},
                                          {"d", trustedPerson, 60, std::nullopt, ""}}));
    EXPECT_EQ(parseWaitReply("cancelados 2\nfin\n").value_or(WaitReply{}).cancelled, 2);

    std::string oversize = "espera 0\n";
    while (oversize.size() <= kMaxWaitReplyBytes) {
        oversize += "pendiente 1 desactivar 60 -\n";
    }
    const std::pair<const char*, std::string> refused[] = {
        {"no fin", "espera 0\npendiente 1 desactivar 60 -\n"},
        {"the fin line cut short", "espera 0\nfin"},
        {"lines after fin", "fin\npendiente 1 desactivar 60 -\nfin\n"},
        {"beyond the size bound", oversize + "fin\n"},
        {"a negative number", "espera -5\nfin\n"},
        {"a number past the bound", "pendiente 1 desactivar 99999999999 -\nfin\n"},
        {"carriage returns", "espera 0\r\nfin\r\n"},
        {"an unknown action", "pendiente 1 borrar-todo 60 -\nfin\n"},
        {"an extra field", "pendiente 1 desactivar 60 - x\nfin\n"},
        {"a value where none belongs", "pendiente 1 desinstalar 60 5\nfin\n"},
        {"an id with a slash", "pendiente ../1 desactivar 60 -\nfin\n"},
        {"a failure of no pending change", "fallo 9 algo\nfin\n"},
        {"a failure that moves the cursor", "pendiente 1 desactivar 0 -\nfallo 1 a\x1b[2Jb\nfin\n"},
        {"an unknown line", "hola\nfin\n"},
    };
    for (const auto& [fault, text] : refused) {
        EXPECT_FALSE(parseWaitReply(text)) << fault;
    }
}

TEST(WaitTexts, ReadInSpanish) {
    using enum PendingAction;
    const std::optional<qint64> none;
    // {action, seconds left, value, failure, line, failure line}
    const std::tuple<PendingAction, qint64, std::optional<qint64>, QString, QString, QString>
        rows[] = {
            {deactivate, 13 * 60 + 1, none, "", "Se desactivará en 14 min", ""},
            {uninstall, 3 * 3600 + 19 * 60 + 30, none, "", "Se desinstalará en 3 h 20 min", ""},
            {keywordFilterOff, 59, none, "", "El filtro por palabras se apagará en menos de 1 min",
             ""},
            {sites, 3600, 3, "", "Los cambios de sitios se aplicarán en 1 h", ""},
            {shortenWait, 61, 300, "", "La espera bajará a 5 min en 2 min", ""},
            {shortenWait, 0, 0, " disco lleno\n", "La espera se quitará en menos de 1 min",
             "No se pudo bajar la espera: disco lleno"},
            {deactivate, 24 * 3600, none, QString(200, u'x'), "Se desactivará en 24 h",
             "No se pudo desactivar: " + QString(89, u'x') + "…"},
            {trustedPerson, 840, none, "sin lugar", "La persona de confianza cambiará en 14 min",
             "No se pudo cambiar la persona de confianza: sin lugar"},
        };
    for (const auto& [action, left, value, failure, line, failureLine] : rows) {
        const PendingChange change{"1", action, left, value, failure};
        EXPECT_EQ(pendingLine(change), line);
        EXPECT_EQ(pendingFailureLine(change), failureLine) << line.toStdString();
    }
    EXPECT_EQ(waitChoiceLabels(),
              (QStringList{"Sin espera", "5 min", "15 min", "30 min", "1 h", "4 h", "24 h"}));
    EXPECT_EQ(queuedNotice("Guardado\nPendiente: se desactivará en 15 min.\n"),
              "Se desactivará en 15 min.");
}

}  // namespace
}  // namespace amparo
