#include "app/core/privileged.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <memory>

#include <signal.h>
#include <sys/stat.h>

#include "tests/support/support.h"

namespace amparo {

void PrintTo(PrivilegedResult::Kind kind, std::ostream* out) {
    constexpr const char* kNames[] = {"ok", "failed", "cancelled"};
    *out << kNames[static_cast<int>(kind)];
}

void PrintTo(const PrivilegedResult& result, std::ostream* out) {
    PrintTo(result.kind, out);
    *out << ' ';
    ::PrintTo(result.text, out);
}

namespace {

using testing::readFile;
using testing::ScopedEnv;
using testing::Scratch;
using testing::StandInPrograms;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;

const QString kNotAuthorised = QStringLiteral(
    "Error executing command as another user: Not authorized\n\nThis incident has been reported.");

struct ClassifyRow {
    const char* fault;
    QProcess::ExitStatus status;
    int code;
    QByteArray output;
    PrivilegedResult expected;
};

TEST(PkexecClassify, TellsWhoEndedTheRun) {
    const auto failed = &PrivilegedResult::failed;
    const std::vector<ClassifyRow> rows = {
        {"output_after_marker_lost", QProcess::NormalExit, 0, "AMPARO-AUTORIZADO\n  listo\n",
         PrivilegedResult::ok("listo")},
        {"command_error_text_hidden", QProcess::NormalExit, 1, "AMPARO-AUTORIZADO\nsin lugar\n",
         failed("sin lugar")},
        {"silent_failure_without_message", QProcess::NormalExit, 3, "AMPARO-AUTORIZADO\n",
         failed("La orden terminó con el código 3.")},
        {"command_126_taken_for_dismissed", QProcess::NormalExit, 126, "AMPARO-AUTORIZADO\n",
         failed("La orden terminó con el código 126.")},
        {"command_127_taken_for_refusal", QProcess::NormalExit, 127,
         "AMPARO-AUTORIZADO\nsh: 1: x: not found\n", failed("sh: 1: x: not found")},
        {"dismissed_dialog_reported_as_failure", QProcess::NormalExit, 126,
         "Error executing command as another user: Request dismissed\n",
         PrivilegedResult::cancelled()},
        {"refusal_loses_pkexec_reason", QProcess::NormalExit, 127, kNotAuthorised.toUtf8() + '\n',
         failed("No se obtuvo el permiso de administrador.\n" + kNotAuthorised)},
        {"crash_before_marker_taken_for_dismissed", QProcess::CrashExit, 126, "",
         failed("No se obtuvo el permiso de administrador.")},
        {"crash_after_marker_taken_for_success", QProcess::CrashExit, 0, "AMPARO-AUTORIZADO\nmitad",
         failed("La orden se interrumpió antes de terminar.\nmitad")},
        {"pkexec_noise_shown_as_output", QProcess::NormalExit, 0,
         "aviso del agente\nAMPARO-AUTORIZADO\nhecho", PrivilegedResult::ok("hecho")},
        {"marker_echoed_by_command_swallowed", QProcess::NormalExit, 0,
         "AMPARO-AUTORIZADO\nAMPARO-AUTORIZADO\n", PrivilegedResult::ok("AMPARO-AUTORIZADO")},
        {"invalid_utf8_drops_text", QProcess::NormalExit, 0, "AMPARO-AUTORIZADO\nca\xffn\xc3\xb1",
         PrivilegedResult::ok(QStringLiteral("ca\uFFFDn\u00F1"))},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(classifyPkexec(row.status, row.code, row.output), row.expected) << row.fault;
    }
}

const QString kWrapper = QStringLiteral(AMPARO_SOURCE_DIR "/app/resources/amparo-admin");

// Runs to the end and checks done came exactly once.
PrivilegedResult runToEnd(PkexecRunner& runner, const QString& command) {
    int calls = 0;
    PrivilegedResult result;
    runner.run(command, [&](const PrivilegedResult& r) {
        ++calls;
        result = r;
    });
    EXPECT_TRUE(waitUntil([&] { return calls > 0; })) << command.toStdString();
    waitUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(calls, 1) << command.toStdString();
    return result;
}

struct RunRow {
    const char* fault;
    QByteArray pkexec;  // what the stand-in does with "wrapper command"
    QString command;
    PrivilegedResult expected;
};

TEST(PkexecRunner, EndsAsPkexecAndTheCommandDid) {
    const QByteArray dismissed =
        "echo 'Error executing command as another user: Request dismissed' >&2\nexit 126\n";
    const QByteArray refused = "printf '%s\\n' '" + kNotAuthorised.toUtf8() + "' >&2\nexit 127\n";
    const QByteArray ran = "exec \"$@\"\n";
    const std::vector<RunRow> rows = {
        {"dismissed_dialog_not_cancelled", dismissed, "true", PrivilegedResult::cancelled()},
        {"refusal_reason_lost", refused, "true",
         PrivilegedResult::failed("No se obtuvo el permiso de administrador.\n" + kNotAuthorised)},
        {"command_stderr_lost", ran, "echo 'sin lugar' >&2; exit 1",
         PrivilegedResult::failed("sin lugar")},
        {"command_126_taken_for_dismissed", ran, "exit 126",
         PrivilegedResult::failed("La orden terminó con el código 126.")},
        {"command_output_lost", ran, "printf 'uno\\ndos\\n'", PrivilegedResult::ok("uno\ndos")},
        {"stdin_left_open_hangs", ran, "cat", PrivilegedResult::ok("")},
    };
    for (const auto& row : rows) {
        StandInPrograms programs;
        programs.add("pkexec", row.pkexec);
        PkexecRunner runner(kWrapper);
        EXPECT_EQ(runToEnd(runner, row.command), row.expected) << row.fault;
    }
}

TEST(PkexecRunner, KeepsOnlyTheEndOfALongOutput) {
    StandInPrograms programs;
    programs.add("pkexec", "exec \"$@\"\n");
    PkexecRunner runner(kWrapper);
    const auto result = runToEnd(runner, "head -c 400000 /dev/zero | tr '\\0' x; printf FIN");
    ASSERT_EQ(result.kind, Kind::ok) << result.text.left(200).toStdString();
    EXPECT_EQ(result.text.size(), PkexecRunner::kMaxOutput);
    EXPECT_EQ(result.text.count(u'x'), PkexecRunner::kMaxOutput - 3);
    EXPECT_TRUE(result.text.endsWith("xFIN"));
}

TEST(PkexecRunner, MissingPartsFailFromTheEventLoop) {
    PkexecRunner runner(kWrapper, QStringLiteral("amparo-pkexec-que-no-existe"));
    PkexecRunner unwrapped(QStringLiteral("/nonexistent/amparo-admin"));
    std::optional<PrivilegedResult> result;
    std::optional<PrivilegedResult> withoutWrapper;
    runner.run("true", [&](const PrivilegedResult& r) { result = r; });
    unwrapped.run("true", [&](const PrivilegedResult& r) { withoutWrapper = r; });
    EXPECT_FALSE(result || withoutWrapper) << "done ran inside run()";
    ASSERT_TRUE(waitUntil([&] { return result && withoutWrapper; }));
    EXPECT_EQ(result->kind, Kind::failed);
    EXPECT_TRUE(result->text.startsWith("No se pudo preparar la orden.\n"))
        << result->text.toStdString();
    EXPECT_EQ(withoutWrapper->kind, Kind::failed);
    EXPECT_TRUE(withoutWrapper->text.startsWith("Abrí Amparo desde"));
}

TEST(PkexecRunner, DestroyedMidRunKillsPkexecAndNeverAnswers) {
    StandInPrograms programs;
    programs.add("pkexec",
                 "echo $$ > " + QFile::encodeName(programs.path("pid")) + "\nexec sleep 30\n");
    auto runner = std::make_unique<PkexecRunner>(kWrapper);
    bool called = false;
    runner->run("true", [&](const PrivilegedResult&) { called = true; });
    ASSERT_TRUE(waitUntil([&] { return readFile(programs.path("pid")).endsWith('\n'); }));
    const int pid = readFile(programs.path("pid")).trimmed().toInt();
    runner.reset();
    waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(called);
    EXPECT_NE(::kill(pid, 0), 0) << "stand-in pkexec still running";
}

TEST(ShellQuote, RoundTripsThroughSh) {
    Scratch scratch;
    const QString pwned = scratch.path("pwned");
    const std::vector<std::pair<const char*, QString>> rows = {
        {"quote_ends_quoting", "it's"},
        {"lone_quotes", "'' '"},
        {"double_quotes_and_backslashes", "say \"hi\" a\\b\\'c\\"},
        {"dollar_expands", "$HOME ${PATH}"},
        {"substitution_runs", "$(touch " + pwned + ") `touch " + pwned + "`"},
        {"blanks_split_words", "a  b\tc"},
        {"newline_ends_command", "uno\ndos;"},
        {"glob_expands", "* ?"},
        {"non_ascii_mangled", "ñandú ¿qué?"},
    };
    for (const auto& [fault, text] : rows) {
        QProcess sh;
        sh.start("/bin/sh", {"-c", "printf %s " + shellQuote(text)});
        ASSERT_TRUE(sh.waitForFinished()) << fault;
        EXPECT_EQ(sh.readAllStandardOutput(), text.toUtf8()) << fault;
    }
    EXPECT_FALSE(QFileInfo::exists(pwned));
}

TEST(ShellQuote, InstallGetsExactlyItsArguments) {
    const QString staged = "/tmp/amparo.a b/it's.txt";
    const QString destination = "/etc/tranca/$(id) `id`.txt";
    QProcess sh;
    sh.start("/bin/sh",
             {"-c", "set -- " + installCommand(staged, destination) + "; printf '%s\\n' \"$@\""});
    ASSERT_TRUE(sh.waitForFinished());
    const QStringList expected = {
        "/usr/bin/install", "-m", "644", "-o", "root", "-g", "root", staged, destination};
    EXPECT_EQ(QString::fromUtf8(sh.readAllStandardOutput()), expected.join('\n') + '\n');
}

TEST(StageFile, WritesTheTextVerbatimInAPrivateDirectory) {
    Scratch scratch;
    ScopedEnv tmp("TMPDIR", QFile::encodeName(scratch.path()));
    const QString text = "$(touch " + scratch.path("pwned") + ")\n`id`\nñandú 'x'\n";
    const auto first = stageFile(text);
    const auto second = stageFile(text);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second) << "directory name reused";
    const QFileInfo file(*first);
    EXPECT_EQ(file.fileName(), "archivo.txt");
    EXPECT_EQ(QFileInfo(file.path()).absolutePath(), QDir(scratch.path()).absolutePath());
    EXPECT_EQ(readFile(*first), text.toUtf8());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(file.path()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(QFileInfo::exists(scratch.path("pwned")));
}

TEST(StageFile, NoneWhenTheTemporaryDirectoryIsMissing) {
    Scratch scratch;
    ScopedEnv tmp("TMPDIR", QFile::encodeName(scratch.path("no-existe")));
    EXPECT_FALSE(stageFile("x"));
}

}  // namespace
}  // namespace amparo
