#include "app/core/actions.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <deque>

#include "tests/support/support.h"

namespace amparo {
namespace {

using testing::Scratch;
using testing::waitUntil;
using testing::writeFile;
using Kind = PrivilegedResult::Kind;

// Records each command; the test decides when and how it ends. The staged
// files are read at run time, as root would read them.
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
    void finish(const PrivilegedResult& result) { std::exchange(pending, nullptr)(result); }
};

struct ScriptedDialogs : Dialogs {
    bool answer = true;
    std::optional<QString> address;
    QStringList seen;  // "kind: title", in order

    bool confirm(const QString& title, const QString&, const QString&) override {
        seen << QStringLiteral("confirm: ") + title;
        return answer;
    }
    void showFailure(const QString& title, const QString& message) override {
        seen << QStringLiteral("failure: ") + title + QStringLiteral(" / ") + message;
    }
    bool offer(const QString& title, const QString&, const QString&) override {
        seen << QStringLiteral("offer: ") + title;
        return answer;
    }
    std::optional<QString> askCustomAddress() override {
        seen << QStringLiteral("address");
        return address;
    }
};

struct RecordingDesktop : Desktop {
    QStringList opened;
    QString clipboard;
    void openUrl(const QUrl& url) override { opened << url.toString(); }
    void openFile(const QString& path) override { opened << path; }
    void copyText(const QString& text) override { clipboard = text; }
};

class ActionsTest : public ::testing::Test {
  protected:
    ActionsTest()
        : model_([this] { return current_; }),
          paths_{.applicationDirectory = scratch_.path("app"),
                 .dataDirectory = scratch_.path("datos"),
                 .logFile = scratch_.path("tranca.log")},
          actions_(model_, runner_, dialogs_, desktop_, paths_) {
        for (const char* part : {"install.sh", "disable.sh", "uninstall.sh", "proxy_install.sh",
                                 "proxy_uninstall.sh", "trancad"}) {
            writeFile(paths_.script(QLatin1String(part)), "#!/bin/sh\n", 0755);
        }
        current_.installed = true;
        current_.protection = Protection::active;
        current_.mitmAvailable = true;
        observe();
        QSettings().remove(QLatin1String(ProtectionModel::kOpensHelpPageKey));
        model_.setOpensHelpPage(true);
    }
    ~ActionsTest() override {
        QSettings().remove(QLatin1String(ProtectionModel::kOpensHelpPageKey));
    }

    // Lets the model observe current_.
    void observe() {
        const int before = refreshes_;
        model_.refresh();
        ASSERT_TRUE(waitUntil([&] { return refreshes_ > before; }));
    }
    // Waits for the runner to get the command, then ends it.
    void finish(const PrivilegedResult& result) {
        ASSERT_TRUE(waitUntil([&] { return runner_.pending != nullptr; }));
        const int before = refreshes_;
        runner_.finish(result);
        EXPECT_TRUE(model_.busy().isEmpty()) << "busy cleared before the completion";
        EXPECT_TRUE(waitUntil([&] { return refreshes_ > before; })) << "no refresh after a run";
    }

    Scratch scratch_;
    ProtectionSnapshot current_;
    int refreshes_ = 0;
    ProtectionModel model_;
    RecordingRunner runner_;
    ScriptedDialogs dialogs_;
    RecordingDesktop desktop_;
    ActionPaths paths_;
    ProtectionActions actions_;
    QMetaObject::Connection counter_ =
        QObject::connect(&model_, &ProtectionModel::refreshed, [this] { ++refreshes_; });
};

TEST_F(ActionsTest, EachPrivilegedActionRunsItsCommandAndReportsItsOutcome) {
    const QString app = paths_.applicationDirectory;
    struct Row {
        std::function<void()> invoke;
        QString busy;
        QString command;
        QString notice;   // on ok; empty: none
        QString failure;  // alert title on failed
    };
    const Row rows[] = {
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
    for (const Row& row : rows) {
        for (const Kind kind : {Kind::ok, Kind::failed, Kind::cancelled}) {
            SCOPED_TRACE(row.command.toStdString() + " ends " + std::to_string(int(kind)));
            dialogs_.seen.clear();
            runner_.commands.clear();
            model_.showNotice({});
            row.invoke();
            EXPECT_EQ(model_.busy(), row.busy);
            finish({kind, QStringLiteral("salida del guion")});
            EXPECT_EQ(runner_.commands, QStringList{row.command});
            const QStringList failure{QStringLiteral("failure: ") + row.failure +
                                      QStringLiteral(" / salida del guion")};
            const QStringList alerts = dialogs_.seen.filter(QStringLiteral("failure: "));
            EXPECT_EQ(alerts, kind == Kind::failed ? failure : QStringList{});
            EXPECT_EQ(model_.notice(), kind == Kind::ok ? row.notice : QString());
        }
    }
}

TEST_F(ActionsTest, NothingRunsWithoutConsentOrParts) {
    dialogs_.answer = false;
    actions_.deactivate();
    actions_.uninstall();
    const int before = refreshes_;
    actions_.setContentFilter(false);
    EXPECT_TRUE(waitUntil([&] { return refreshes_ > before; }))
        << "a refused switch must snap back to the observed state";
    dialogs_.answer = true;

    QDir(paths_.applicationDirectory).removeRecursively();
    actions_.activate();
    actions_.restoreInternet();
    actions_.setContentFilter(true);
    EXPECT_TRUE(runner_.commands.isEmpty());
    EXPECT_EQ(dialogs_.seen.filter(QStringLiteral("Falta una parte de Amparo")).size(), 3);
}

TEST_F(ActionsTest, OnlyOnePrivilegedRunAtATime) {
    actions_.updateList();
    actions_.activate();
    actions_.deactivate();
    ASSERT_TRUE(waitUntil([&] { return runner_.pending != nullptr; }));
    EXPECT_EQ(runner_.commands.size(), 1);
    EXPECT_TRUE(dialogs_.seen.isEmpty()) << "no confirmation while busy";
    finish(PrivilegedResult::ok({}));
}

TEST_F(ActionsTest, AMaskedServiceIsExplainedNotReportedRaw) {
    actions_.activate();
    finish(PrivilegedResult::failed(
        QStringLiteral("El servicio tranca.service está enmascarado (systemctl mask), así que…")));
    EXPECT_EQ(dialogs_.seen, QStringList{"offer: El servicio de Amparo está enmascarado"});
    EXPECT_EQ(desktop_.clipboard, QStringLiteral("sudo systemctl unmask tranca.service"));
}

TEST_F(ActionsTest, KeywordFilterWithoutTheProxyToolOffersTheCommand) {
    current_.mitmAvailable = false;
    observe();
    const int before = refreshes_;
    actions_.setContentFilter(true);
    EXPECT_EQ(dialogs_.seen, QStringList{"offer: Falta mitmproxy"});
    EXPECT_EQ(desktop_.clipboard, QStringLiteral("sudo apt install mitmproxy"));
    QCoreApplication::processEvents();
    EXPECT_EQ(refreshes_, before);
    EXPECT_TRUE(runner_.commands.isEmpty());
}

TEST_F(ActionsTest, BlockDestinationWritesOnlyRealChanges) {
    int watcherUpdates = 0;
    actions_.setUpdateWatcher([&] { ++watcherUpdates; });

    actions_.setBlockDestination(BlockDestination::amparo);  // no line: already the stop page
    actions_.setBlockDestination(BlockDestination::nothing);
    EXPECT_FALSE(model_.opensHelpPage());
    EXPECT_FALSE(QSettings().value(QLatin1String(ProtectionModel::kOpensHelpPageKey)).toBool());
    actions_.setBlockDestination(BlockDestination::amparo);  // back on, same page
    EXPECT_TRUE(model_.opensHelpPage());
    dialogs_.address = std::nullopt;
    actions_.setBlockDestination(BlockDestination::custom);  // dialog cancelled
    EXPECT_TRUE(runner_.commands.isEmpty()) << "asked for a password with nothing to change";
    EXPECT_EQ(watcherUpdates, 3);

    current_.redirectLine = QStringLiteral("LOCAL");
    observe();
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
    writeFile(paths_.data("custom.txt"), "# mis sitios\r\nviejo.example\n  # sangría\n");
    actions_.saveSites(
        {"nuevo.example", " espacios.example ", "dos\nlineas.example", "", "$(reboot).example"},
        {"permitido.example"});
    EXPECT_EQ(model_.busy(), QStringLiteral("Guardando tus sitios…"));
    finish(PrivilegedResult::ok({}));
    ASSERT_EQ(runner_.stagedTexts.size(), 2);
    EXPECT_EQ(runner_.stagedTexts[0],
              "# mis sitios\nnuevo.example\nespacios.example\n$(reboot).example\n");
    EXPECT_EQ(runner_.stagedTexts[1], "permitido.example\n");
    EXPECT_EQ(model_.notice(), QStringLiteral("Guardado: se aplica en menos de un minuto"));
    const QStringList words = runner_.commands.value(0).split(QStringLiteral(" && "));
    ASSERT_EQ(words.size(), 2);
    EXPECT_TRUE(words[0].endsWith(" '" + paths_.dataDirectory + "/custom.txt'"));
    EXPECT_TRUE(words[1].endsWith(" '" + paths_.dataDirectory + "/allow.txt'"));
    const QString staged = words[0].section(u'\'', 1, 1);
    EXPECT_FALSE(QFileInfo::exists(staged)) << "the user's lists left in the temporary folder";
}

TEST_F(ActionsTest, EditsThatCannotBeStagedAreReportedNotDropped) {
    testing::ScopedEnv noTemporaryFolder("TMPDIR", "/nonexistent/amparo");
    actions_.saveSites({"nuevo.example"}, {});
    EXPECT_TRUE(runner_.commands.isEmpty());
    EXPECT_EQ(
        dialogs_.seen.filter(QStringLiteral("failure: No se pudieron guardar tus sitios")).size(),
        1);
}

TEST_F(ActionsTest, ConveniencesOpenTheirPlaces) {
    actions_.openLog();
    actions_.donate();
    actions_.openWebsite();
    EXPECT_EQ(desktop_.opened, (QStringList{paths_.logFile, kDonationUrl, kWebsiteUrl}));
    int checks = 0;
    actions_.checkForUpdates();  // no updater yet: nothing happens
    actions_.setUpdateCheck([&] { ++checks; });
    actions_.checkForUpdates();
    EXPECT_EQ(checks, 1);
}

}  // namespace
}  // namespace amparo
