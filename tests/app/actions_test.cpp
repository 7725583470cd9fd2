#include "app/core/actions.h"

#include "tests/support/support.h"

namespace amparo {
namespace {

using testing::refreshed;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;

// Records each command, and the staged files as root reads them; the test
// ends the run.
struct RecordingRunner : PrivilegedRunner {
    QStringList commands;
    QStringList stagedTexts;
    Done pending;

    void run(const QString& commandLine, Done done) override {
        commands << commandLine;
        for (const QString& word : commandLine.split(u' ')) {
            if (word.endsWith(QLatin1String("archivo.txt'"))) {
                stagedTexts << QString::fromUtf8(testing::readFile(word.mid(1).chopped(1)));
            }
        }
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
    const QString app = paths_.applicationDirectory;
    // {action, busy text, command, notice on ok ("": none), alert title on failed}
    const std::tuple<std::function<void()>, QString, QString, QString, QString> rows[] = {
        {[&] { actions_.activate(); }, "Activando la protección…",
         "/bin/bash '" + app + "/install.sh'", "", "No se pudo activar"},
        {[&] { actions_.deactivate(); }, "Desactivando…", "/bin/bash '" + app + "/disable.sh'", "",
         "No se pudo desactivar"},
        {[&] { actions_.restoreInternet(); }, "Recuperando internet…",
         "'" + app +
             "/trancad' --dns respaldo && { resolvectl flush-caches >/dev/null 2>&1; true; }",
         "Internet de vuelta, con el filtro de Cloudflare", "No se pudo recuperar internet"},
        {[&] { actions_.updateList(); }, "Actualizando la lista…",
         "/bin/bash '" + paths_.dataDirectory + "/update_blocklist.sh'", "Lista actualizada",
         "No se pudo actualizar la lista"},
        {[&] { actions_.setContentFilter(true); }, "Activando el filtro por palabras…",
         "/bin/bash '" + app + "/proxy_install.sh'", "Filtro activo: reiniciá el navegador",
         "No se pudo activar el filtro"},
        {[&] { actions_.setContentFilter(false); }, "Desactivando el filtro…",
         "/bin/bash '" + app + "/proxy_uninstall.sh'", "", "No se pudo desactivar el filtro"},
        {[&] { actions_.uninstall(); }, "Desinstalando…", "/bin/bash '" + app + "/uninstall.sh'",
         "Amparo se desinstaló", "No se pudo desinstalar"},
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
    ASSERT_EQ(runner_.commands.size(), 1);
    EXPECT_TRUE(runner_.commands[0].startsWith("/usr/bin/install -m 644 -o root -g root '"));
    EXPECT_TRUE(runner_.commands[0].endsWith(" '" + paths_.dataDirectory + "/redirect.txt'"));
    EXPECT_EQ(runner_.stagedTexts,
              QStringList{"# Adónde lleva Amparo al bloquear un sitio (lo cambia la app).\n"
                          "https://ayuda.example/x\n"});
}

TEST_F(ActionsTest, SavedSitesKeepCommentsAndStayData) {
    testing::writeFile(paths_.data("custom.txt"), "# mis sitios\r\nviejo.example\n  # sangría\n");
    actions_.saveSites(
        {"nuevo.example", " espacios.example ", "dos\nlineas.example", "", "$(reboot).example"},
        {"permitido.example"});
    EXPECT_EQ(model_.busy(), "Guardando tus sitios…");
    finish(PrivilegedResult::ok({}));
    EXPECT_EQ(runner_.stagedTexts,
              (QStringList{"# mis sitios\nnuevo.example\nespacios.example\n$(reboot).example\n",
                           "permitido.example\n"}));
    EXPECT_EQ(model_.notice(), "Guardado: se aplica en menos de un minuto");
    const QStringList installs = runner_.commands.value(0).split(" && ");
    ASSERT_EQ(installs.size(), 2);
    EXPECT_TRUE(installs[0].endsWith(" '" + paths_.dataDirectory + "/custom.txt'"));
    EXPECT_TRUE(installs[1].endsWith(" '" + paths_.dataDirectory + "/allow.txt'"));
    EXPECT_FALSE(QFileInfo::exists(installs[0].section(u'\'', 1, 1)))
        << "the user's lists left in the temporary folder";

    // Edits that cannot be staged exist only in the window: say so.
    const auto noTemporaryFolder = testing::scopedEnv("TMPDIR", "/nonexistent/amparo");
    actions_.saveSites({"nuevo.example"}, {});
    EXPECT_EQ(runner_.commands.size(), 1);
    EXPECT_EQ(dialogs_.seen.filter("failure: No se pudieron guardar tus sitios").size(), 1);
}

}  // namespace
}  // namespace amparo
