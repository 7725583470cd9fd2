#include "app/core/actions.h"

#include "tests/support/support.h"

namespace amparo {
namespace {

using testing::refreshed;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;

// Records each verb and its input; the test ends the run.
struct RecordingRunner : PrivilegedRunner {
    QStringList commands;
    QStringList inputs;
    Done pending;

    void run(AdminVerb verb, const QByteArray& input, Done done) override {
        commands << verbWord(verb);
        inputs << QString::fromUtf8(input);
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
    std::optional<QString> askCustomAddress() override { return address; }
};

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
    ProtectionModel model_{[this] { return current_; }};
    RecordingRunner runner_;
    ScriptedDialogs dialogs_;
    testing::RecordingDesktop desktop_;
    ActionPaths paths_{scratch_.path("app"), scratch_.path("datos"), scratch_.path("tranca.log")};
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
    };
    for (const auto& [invoke, busy, command, notice, failure] : rows) {
        for (const Kind kind : {Kind::ok, Kind::failed, Kind::cancelled}) {
            SCOPED_TRACE(command.toStdString() + " ends " + std::to_string(int(kind)));
            dialogs_.seen.clear();
            runner_.commands.clear();
            runner_.inputs.clear();
            model_.showNotice({});
            invoke();
            EXPECT_EQ(model_.busy(), busy);
            finish({kind, QStringLiteral("salida")});
            EXPECT_EQ(runner_.commands, QStringList{command});
            EXPECT_EQ(runner_.inputs, QStringList{QString()}) << "input for a verb without one";
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
    EXPECT_EQ(runner_.commands, QStringList{"guardar-pagina"});
    EXPECT_EQ(runner_.inputs, QStringList{"https://ayuda.example/x\n"});
}

TEST_F(ActionsTest, SavedSitesKeepCommentsAndStayData) {
    testing::writeFile(paths_.data("custom.txt"),
                       "# mis sitios\r\nviejo.example\n  # sangría\n#\tcon\ttab\n# a\u2028b\n");
    testing::writeFile(paths_.data("allow.txt"),
                       "# de la escuela\xc2\x85"
                       "dos.example\n");
    actions_.saveSites({"nuevo.example", " espacios.example ", "dos\nlineas.example", "",
                        "tres\u2029lineas.example"},
                       {"permitido.example"});
    EXPECT_EQ(model_.busy(), "Guardando tus sitios…");
    finish(PrivilegedResult::ok({}));
    EXPECT_EQ(runner_.commands, QStringList{"guardar-sitios"});
    EXPECT_EQ(runner_.inputs, QStringList{"# mis sitios\n#\tcon\ttab\nnuevo.example\n"
                                          "espacios.example\n[permitidos]\npermitido.example\n"});
    EXPECT_EQ(model_.notice(), "Guardado: se aplica en menos de un minuto");
}

// The real runner and root wrapper, a stand-in pkexec. While the password
// dialog is up, the user swaps whatever Amparo left in its temporary folder
// for a link to a root-only file; root then works in a private mount where
// /var/lib is the test's own.
TEST(SavingAsRoot, OpensNothingTheUserCanSwap) {
    testing::Scratch scratch;
    const QString secret = scratch.path("secreto");
    testing::writeFile(secret, "SECRETO-DE-ROOT\n", 0600);
    const QString temporary = scratch.path("tmp"), varLib = scratch.path("var-lib");
    QDir().mkpath(temporary);
    QDir().mkpath(varLib + "/tranca");
    testing::StandInPrograms programs;
    const auto tmp = testing::scopedEnv("TMPDIR", QFile::encodeName(temporary));
    programs.add("pkexec", "find '" + QFile::encodeName(temporary) +
                               "' -type f -print -exec ln -sf '" + QFile::encodeName(secret) +
                               "' {} ';' >'" + QFile::encodeName(programs.path("cambiados")) +
                               "'\nexec unshare -m sh -c 'mount --bind \"$0\" /var/lib && "
                               "exec \"$@\"' '" +
                               QFile::encodeName(varLib) + "' \"$@\"\n");

    ProtectionSnapshot current = testing::snapshotOf(Protection::active);
    ProtectionModel model{[&] { return current; }};
    PkexecRunner runner(QStringLiteral(AMPARO_SOURCE_DIR "/app/resources/amparo-admin"));
    struct : Dialogs {
        QStringList failures;
        bool confirm(const QString&, const QString&, const QString&) override { return true; }
        void showFailure(const QString& t, const QString& m) override { failures << t + m; }
        bool offer(const QString&, const QString&, const QString&) override { return false; }
        std::optional<QString> askCustomAddress() override { return std::nullopt; }
    } dialogs;
    testing::RecordingDesktop desktop;
    ProtectionActions actions(model, runner, dialogs, desktop,
                              {scratch.path("app"), varLib + "/tranca", scratch.path("log")});
    actions.saveSites({"bloqueado.example"}, {"permitido.example"});
    ASSERT_TRUE(waitUntil([&] { return model.busy().isEmpty(); }, std::chrono::seconds(30)));
    EXPECT_EQ(dialogs.failures, QStringList{});
    EXPECT_EQ(testing::readFile(varLib + "/tranca/custom.txt"), "bloqueado.example\n");
    EXPECT_EQ(testing::readFile(varLib + "/tranca/allow.txt"), "permitido.example\n");
    EXPECT_EQ(testing::readFile(programs.path("cambiados")), "") << "left for root to open";
}

}  // namespace
}  // namespace amparo
