#include "app/core/actions.h"

#include "tests/support/fake_wait_socket.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

using testing::refreshed;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;

// Records each verb, with " < " and its input when it has one; the test ends
// the run.
struct RecordingRunner : PrivilegedRunner {
    QStringList commands;
    Done pending;

    void run(AdminVerb verb, const QByteArray& input, Done done) override {
        commands << verbWord(verb) + (input.isEmpty() ? QString() : " < " + QString(input));
        pending = std::move(done);
    }
};

// Gives every question the same answer and notes each as "kind: title".
struct ScriptedDialogs : Dialogs {
    bool answer = true;
    std::optional<QString> address;
    QStringList seen;

    bool confirm(const QString& title, const QString&, const QString&) override {
        return (seen << "confirm: " + title, answer);
    }
    void showFailure(const QString& title, const QString& text) override {
        seen << "failure: " + title + " / " + text;
    }
    bool offer(const QString& title, const QString&, const QString&) override {
        return (seen << "offer: " + title, answer);
    }
    bool inform(const QString& title, const QString&, const QString&) override {
        return (seen << "inform: " + title, answer);
    }
    std::optional<QString> askCustomAddress() override { return address; }
};

const TrustedPersonForm kPerson{
    "ana@ejemplo.org", "smtp.ejemplo.org", "587", MailSecurity::starttls, "yo", "secreta"};

class ActionsTest : public ::testing::Test {
  protected:
    ActionsTest() {
        for (const char* part : {"install.sh", "disable.sh", "uninstall.sh", "proxy_install.sh",
                                 "proxy_uninstall.sh", "trancad"}) {
            testing::writeFile(paths_.script(QLatin1String(part)), "#!/bin/sh\n", 0755);
        }
        current_.mitmAvailable = true;
        EXPECT_TRUE(refreshed(model_));
        model_.setOpensHelpPage(true);
    }

    // Waits for the runner to get the command, then ends it.
    void finish(const PrivilegedResult& result) {
        ASSERT_TRUE(waitUntil([&] { return runner_.pending != nullptr; }));
        QSignalSpy done(&model_, &ProtectionModel::refreshed);
        std::exchange(runner_.pending, nullptr)(result);
        EXPECT_TRUE(model_.busy().isEmpty()) << "busy cleared before the completion";
        EXPECT_TRUE(waitUntil([&] { return !done.isEmpty(); })) << "no refresh after a run";
    }

    testing::Scratch scratch_;
    ProtectionSnapshot current_ = testing::snapshotOf(Protection::active);
    ProtectionModel model_{gathererOf([this] { return current_; })};
    RecordingRunner runner_;
    ScriptedDialogs dialogs_;
    testing::RecordingDesktop desktop_;
    ActionPaths paths_{scratch_.path("app"), scratch_.path("datos"), scratch_.path("tranca.log"),
                       scratch_.path("espera.sock")};
    ProtectionActions actions_{model_, runner_, dialogs_, desktop_, paths_};
};

TEST_F(ActionsTest, EachPrivilegedActionRunsItsCommandAndReportsItsOutcome) {
    // {action, busy text, verb, notice on ok ("": none), alert title on failed}
    const std::tuple<std::function<void()>, QString, QString, QString, QString> rows[] = {
        {[&] { actions_.activate(); }, "Activando la protección…", "activar", "",
         "No se pudo activar"},
        {[&] { actions_.deactivate(); }, "Desactivando…", "desactivar", "",
         "No se pudo desactivar"},
        {[&] { actions_.restoreInternet(); }, "Recuperando internet…", "recuperar-internet",
         "Internet de vuelta, con el filtro de Cloudflare", "No se pudo recuperar internet"},
        {[&] { actions_.updateList(); }, "Actualizando la lista…", "actualizar-lista",
         "Lista actualizada", "No se pudo actualizar la lista"},
        {[&] { actions_.setContentFilter(true); }, "Activando el filtro por palabras…",
         "activar-filtro-palabras", "Filtro activo: reiniciá el navegador",
         "No se pudo activar el filtro"},
        {[&] { actions_.setContentFilter(false); }, "Desactivando el filtro…",
         "desactivar-filtro-palabras", "", "No se pudo desactivar el filtro"},
        {[&] { actions_.uninstall(); }, "Desinstalando…", "desinstalar", "Amparo se desinstaló",
         "No se pudo desinstalar"},
        {[&] { actions_.setWait(900); }, "Cambiando la espera…", "cambiar-espera < 900\n",
         "Espera para aflojar: 15 min", "No se pudo cambiar la espera"},
        {[&] { actions_.saveTrustedPerson(kPerson); }, "Guardando la persona de confianza…",
         "guardar-confianza < " + *settingsText(kPerson), "Persona de confianza guardada",
         "No se pudo guardar la persona de confianza"},
        {[&] { actions_.removeTrustedPerson(); }, "Quitando la persona de confianza…",
         "guardar-confianza < correo=\n", "Persona de confianza quitada",
         "No se pudo quitar la persona de confianza"},
    };
    for (const auto& [invoke, busy, command, notice, failure] : rows) {
        for (const Kind kind : {Kind::ok, Kind::failed, Kind::cancelled}) {
            SCOPED_TRACE(command.toStdString() + " ends " + std::to_string(int(kind)));
            dialogs_.seen.clear();
            runner_.commands.clear();
            model_.showNotice({});
            invoke();
            EXPECT_EQ(model_.busy(), busy);
            finish({kind, QStringLiteral("salida")});
            EXPECT_EQ(runner_.commands, QStringList{command});
            EXPECT_EQ(dialogs_.seen.filter("failure: "),
                      kind == Kind::failed ? QStringList{"failure: " + failure + " / salida"}
                                           : QStringList{});
            EXPECT_EQ(model_.notice(), kind == Kind::ok ? notice : QString());
        }
    }
}

TEST_F(ActionsTest, NothingRunsWithoutConsentOrPartsOrWhileBusy) {
    dialogs_.answer = false;
    actions_.deactivate();
    actions_.uninstall();
    QSignalSpy done(&model_, &ProtectionModel::refreshed);
    actions_.setContentFilter(false);
    EXPECT_TRUE(waitUntil([&] { return !done.isEmpty(); }))
        << "a refused switch must snap back to the observed state";
    EXPECT_TRUE(runner_.commands.isEmpty());

    dialogs_.answer = true;
    dialogs_.seen.clear();
    actions_.updateList();
    actions_.activate();
    actions_.deactivate();
    ASSERT_TRUE(waitUntil([&] { return runner_.pending != nullptr; }));
    EXPECT_EQ(runner_.commands.size(), 1);
    EXPECT_TRUE(dialogs_.seen.isEmpty()) << "no confirmation while busy";
    finish(PrivilegedResult::ok({}));

    QDir(paths_.applicationDirectory).removeRecursively();
    actions_.activate();
    actions_.restoreInternet();
    actions_.setContentFilter(true);
    EXPECT_EQ(runner_.commands.size(), 1);
    EXPECT_EQ(dialogs_.seen.filter("Falta una parte de Amparo").size(), 3);
}

TEST_F(ActionsTest, AMissingServiceOrToolIsExplainedWithItsCommand) {
    actions_.activate();
    finish(
        PrivilegedResult::failed("El servicio tranca.service está enmascarado (systemctl mask)"));
    EXPECT_EQ(desktop_.clipboard, "sudo systemctl unmask tranca.service");

    current_.mitmAvailable = false;
    ASSERT_TRUE(refreshed(model_));
    actions_.setContentFilter(true);
    EXPECT_EQ(desktop_.clipboard, "sudo apt install mitmproxy");
    EXPECT_EQ(dialogs_.seen, (QStringList{"offer: El servicio de Amparo está enmascarado",
                                          "offer: Falta mitmproxy"}));
    EXPECT_EQ(runner_.commands.size(), 1);
}

TEST_F(ActionsTest, BlockDestinationWritesOnlyRealChanges) {
    int watcherUpdates = 0;
    actions_.setUpdateWatcher([&] { ++watcherUpdates; });
    actions_.setBlockDestination(BlockDestination::amparo);  // already the stop page
    actions_.setBlockDestination(BlockDestination::nothing);
    EXPECT_FALSE(model_.opensHelpPage());
    actions_.setBlockDestination(BlockDestination::amparo);  // back on, same page
    EXPECT_TRUE(model_.opensHelpPage());
    actions_.setBlockDestination(BlockDestination::custom);  // address dialog cancelled
    EXPECT_TRUE(runner_.commands.isEmpty()) << "asked for a password with nothing to change";
    EXPECT_EQ(watcherUpdates, 3);

    current_.redirectLine = QStringLiteral("LOCAL");
    ASSERT_TRUE(refreshed(model_));
    dialogs_.address = QStringLiteral("https://ayuda.example/x");
    actions_.setBlockDestination(BlockDestination::custom);
    finish(PrivilegedResult::ok({}));
    EXPECT_EQ(runner_.commands, QStringList{"guardar-pagina < https://ayuda.example/x\n"});
}

TEST_F(ActionsTest, SavedSitesKeepCommentsAndStayData) {
    testing::writeFile(paths_.data("custom.txt"),
                       "# mis sitios\r\nviejo.example\n  # sangría\n#\tcon\ttab\n# a\u2028b\n");
    actions_.saveSites({"nuevo.example", " espacios.example ", "dos\nlineas.example", "",
                        "tres\u2029lineas.example"},
                       {"permitido.example"});
    EXPECT_EQ(model_.busy(), "Guardando tus sitios…");
    finish(PrivilegedResult::ok({}));
    EXPECT_EQ(runner_.commands,
              QStringList{"guardar-sitios < # mis sitios\n#\tcon\ttab\nnuevo.example\n"
                          "espacios.example\n[permitidos]\npermitido.example\n"});
    EXPECT_EQ(model_.notice(), "Guardado: se aplica en menos de un minuto");
}

TEST_F(ActionsTest, AQueuedChangeIsNoticedInsteadOfDone) {
    const std::function<void()> loosening[] = {
        [&] { actions_.deactivate(); }, [&] { actions_.uninstall(); },
        [&] { actions_.setContentFilter(false); }, [&] { actions_.saveSites({}, {}); },
        [&] { actions_.setWait(0); }};
    for (const auto& loosen : loosening) {
        model_.showNotice({});
        loosen();
        finish(
            PrivilegedResult::ok("Listo\nPendiente: se desactivará en 15 min. Se puede "
                                 "cancelar.\n"));
        EXPECT_EQ(model_.notice(), "Se desactivará en 15 min. Se puede cancelar.");
    }
}

TEST_F(ActionsTest, CancellingAsksTheDaemonWithoutAPassword) {
    const QString silent =
        "failure: No se pudo cancelar / El filtro de Amparo no respondió. "
        "Probá de nuevo en un momento.";
    // {the daemon's reply (none: no daemon at all), notice, alert}
    const std::tuple<std::optional<QByteArray>, QString, QString> rows[] = {
        {"cancelados 1\nfin\n", "Cambio pendiente cancelado", ""},
        {"fin\n", "", silent},
        {std::nullopt, "", silent},
    };
    for (const auto& [reply, notice, alert] : rows) {
        dialogs_.seen.clear();
        model_.showNotice({});
        std::optional<testing::FakeWaitSocket> daemon;
        ActionPaths paths = paths_;
        if (reply) {
            paths.waitSocket = daemon.emplace(*reply).path();
        }
        ProtectionActions actions(model_, runner_, dialogs_, desktop_, paths);
        QSignalSpy done(&model_, &ProtectionModel::refreshed);
        actions.cancelPending();
        EXPECT_EQ(model_.busy(), "Cancelando…");
        ASSERT_TRUE(waitUntil([&] { return !done.isEmpty(); })) << "no refresh after a cancel";
        EXPECT_EQ(model_.notice(), notice);
        EXPECT_EQ(dialogs_.seen.join(u'|'), alert);
        EXPECT_EQ(daemon ? daemon->received() : "cancelar", "cancelar");
    }
    EXPECT_TRUE(runner_.commands.isEmpty()) << "asked for a password to tighten";
}

TEST_F(ActionsTest, ATestMailIsTheTrancadBesideRunAsTheUserWithTheSettingsOnItsInput) {
    const QString daemon = paths_.script("trancad");
    actions_.setTestMailTimeout(std::chrono::milliseconds(500));
    // {fault, the stand-in trancad's body, the form, what is shown}
    const std::tuple<const char*, QByteArray, TrustedPersonForm, TestMailResult> rows[] = {
        {"the reason or the status lost",
         "cat >\"$0.entrada\"; echo \"$@\" >\"$0.argumentos\"; echo Contraseña incorrecta.; "
         "exit 1\n",
         kPerson,
         {false, "Contraseña incorrecta."}},
        {"a hung server waited for",
         "exec sleep 30\n",
         kPerson,
         {false, "La prueba no terminó a tiempo: el servidor de correo no respondió."}},
        {"a form with a problem run",
         "touch \"$0.corrida\"\n",
         TrustedPersonForm{},
         {false, "Escribí el correo de la persona de confianza."}},
    };
    for (const auto& [fault, body, form, shown] : rows) {
        testing::writeFile(daemon, "#!/bin/sh\n" + body, 0755);
        std::optional<TestMailResult> result;
        actions_.sendTestMail(form, [&](const TestMailResult& r) { result = r; });
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); })) << fault;
        EXPECT_EQ(result->line, shown.line) << fault;
        EXPECT_EQ(result->sent, shown.sent) << fault;
    }
    EXPECT_EQ(testing::readFile(daemon + ".argumentos"), "--probar-aviso\n");
    EXPECT_EQ(testing::readFile(daemon + ".entrada"), *settingsText(kPerson));
    EXPECT_FALSE(QFileInfo::exists(daemon + ".corrida"));
    EXPECT_TRUE(runner_.commands.isEmpty()) << "asked for a password to send a mail";
}

// The real runner and wrapper; the stand-in pkexec swaps what Amparo left in
// its temporary folder for a root-only file's link, then mounts /var/lib.
TEST_F(ActionsTest, SavingAsRootOpensNothingTheUserCanSwap) {
    const QByteArray secret = QFile::encodeName(scratch_.path("secreto"));
    testing::writeFile(secret, "SECRETO-DE-ROOT\n", 0600);
    const QString temporary = scratch_.path("tmp"), varLib = scratch_.path("var-lib");
    ASSERT_TRUE(QDir().mkpath(temporary) && QDir().mkpath(varLib + "/tranca"));
    testing::StandInPrograms programs;
    const auto tmp = testing::scopedEnv("TMPDIR", QFile::encodeName(temporary));
    programs.add("pkexec", "find '" + QFile::encodeName(temporary) + "' -type f -exec ln -sf '" +
                               secret + "' {} ';' -print >" + secret + ".cambiados\n" +
                               "exec unshare -m sh -c 'mount --bind \"$0\" /var/lib && exec "
                               "\"$@\"' '" +
                               QFile::encodeName(varLib) + "' \"$@\"\n");
    PkexecRunner root(QStringLiteral(AMPARO_SOURCE_DIR "/app/resources/amparo-admin"));
    ProtectionActions actions(model_, root, dialogs_, desktop_, paths_);
    actions.saveSites({"bloqueado.example"}, {"permitido.example"});
    ASSERT_TRUE(waitUntil([&] { return model_.busy().isEmpty(); }, std::chrono::seconds(30)));
    EXPECT_EQ(dialogs_.seen, QStringList{});
    EXPECT_EQ(testing::readFile(varLib + "/tranca/custom.txt") + "|" +
                  testing::readFile(varLib + "/tranca/allow.txt"),
              "bloqueado.example\n|permitido.example\n");
    EXPECT_EQ(testing::readFile(secret + ".cambiados"), "") << "left for root to open";
}

}  // namespace
}  // namespace amparo
