#include "app/core/privileged.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <memory>

#include <signal.h>
#include <sys/stat.h>

#include "tests/support/support.h"

namespace amparo {

void PrintTo(const PrivilegedResult& result, std::ostream* out) {
    *out << "{kind " << int(result.kind) << ", ";
    ::PrintTo(result.text, out);
    *out << '}';
}

namespace {

using testing::readFile;
using testing::StandInPrograms;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;

const QString kNotAuthorised = QStringLiteral(
    "Error executing command as another user: Not authorized\n\nThis incident has been reported.");
const QString kNoPermission = QStringLiteral("No se obtuvo el permiso de administrador.");

TEST(PkexecClassify, TellsWhoEndedTheRun) {
    const auto failed = &PrivilegedResult::failed;
    const auto ok = &PrivilegedResult::ok;
    struct Row {
        const char* fault;
        QProcess::ExitStatus status;
        int code;
        QByteArray output;
        PrivilegedResult expected;
    };
    const Row rows[] = {
        {"output after the marker lost", QProcess::NormalExit, 0, "AMPARO-AUTORIZADO\n  listo\n",
         ok("listo")},
        {"the command's error text hidden", QProcess::NormalExit, 1,
         "AMPARO-AUTORIZADO\nsin lugar\n", failed("sin lugar")},
        {"a silent failure without message", QProcess::NormalExit, 3, "AMPARO-AUTORIZADO\n",
         failed("La orden terminó con el código 3.")},
        {"the command's 126 taken for a dismissal", QProcess::NormalExit, 126,
         "AMPARO-AUTORIZADO\n", failed("La orden terminó con el código 126.")},
        {"the command's 127 taken for a refusal", QProcess::NormalExit, 127,
         "AMPARO-AUTORIZADO\nsh: 1: x: not found\n", failed("sh: 1: x: not found")},
        {"a dismissed dialog reported as a failure", QProcess::NormalExit, 126,
         "Error executing command as another user: Request dismissed\n",
         PrivilegedResult::cancelled()},
        {"a refusal loses pkexec's reason", QProcess::NormalExit, 127,
         kNotAuthorised.toUtf8() + '\n', failed(kNoPermission + '\n' + kNotAuthorised)},
        {"a crash before the marker taken for a dismissal", QProcess::CrashExit, 126, "",
         failed(kNoPermission)},
        {"a crash after the marker taken for success", QProcess::CrashExit, 0,
         "AMPARO-AUTORIZADO\nmitad", failed("La orden se interrumpió antes de terminar.\nmitad")},
        {"pkexec's noise shown as output", QProcess::NormalExit, 0,
         "aviso del agente\nAMPARO-AUTORIZADO\nhecho", ok("hecho")},
        {"a marker echoed by the command swallowed", QProcess::NormalExit, 0,
         "AMPARO-AUTORIZADO\nAMPARO-AUTORIZADO\n", ok("AMPARO-AUTORIZADO")},
        {"invalid UTF-8 drops the text", QProcess::NormalExit, 0,
         "AMPARO-AUTORIZADO\nca\xffn\xc3\xb1", ok(QStringLiteral("ca\uFFFDn\u00F1"))},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(classifyPkexec(row.status, row.code, row.output), row.expected) << row.fault;
    }
}

const QString kWrapper = QStringLiteral(AMPARO_SOURCE_DIR "/app/resources/amparo-admin");

// Runs to the end and checks done came exactly once, from the event loop.
PrivilegedResult runToEnd(PkexecRunner& runner, const QString& command) {
    std::vector<PrivilegedResult> results;
    runner.run(command, [&](const PrivilegedResult& r) { results.push_back(r); });
    EXPECT_TRUE(results.empty()) << "done ran inside run()";
    EXPECT_TRUE(waitUntil([&] { return !results.empty(); })) << command.toStdString();
    waitUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(results.size(), 1u) << command.toStdString();
    return results.empty() ? PrivilegedResult{} : results.front();
}

// Through the real root wrapper, with a stand-in pkexec.
TEST(PkexecRunner, EndsAsPkexecAndTheCommandDid) {
    const QByteArray ran = "exec \"$@\"\n";
    struct Row {
        const char* fault;
        QByteArray pkexec;  // what the stand-in does with "wrapper command"
        QString command;
        PrivilegedResult expected;
    };
    const Row rows[] = {
        {"a dismissed dialog not cancelled",
         "echo 'Error executing command as another user: Request dismissed' >&2\nexit 126\n",
         "true", PrivilegedResult::cancelled()},
        {"the command's standard error lost", ran, "echo 'sin lugar' >&2; exit 1",
         PrivilegedResult::failed("sin lugar")},
        {"the command's output lost", ran, "printf 'uno\\ndos\\n'",
         PrivilegedResult::ok("uno\ndos")},
        {"standard input left open hangs", ran, "cat", PrivilegedResult::ok("")},
        {"a long output kept whole", ran, "head -c 400000 /dev/zero | tr '\\0' x; printf FIN",
         PrivilegedResult::ok(QString(PkexecRunner::kMaxOutput - 3, u'x') + "FIN")},
    };
    for (const Row& row : rows) {
        StandInPrograms programs;
        programs.add("pkexec", row.pkexec);
        PkexecRunner runner(kWrapper);
        EXPECT_EQ(runToEnd(runner, row.command), row.expected) << row.fault;
    }
    for (const auto& [pkexec, wrapper, start] :
         {std::tuple{"amparo-pkexec-que-no-existe", kWrapper, "No se pudo preparar la orden.\n"},
          std::tuple{"pkexec", QStringLiteral("/nonexistent/amparo-admin"), "Abrí Amparo desde"}}) {
        PkexecRunner runner(wrapper, QLatin1String(pkexec));
        const PrivilegedResult result = runToEnd(runner, "true");
        EXPECT_EQ(result.kind, Kind::failed);
        EXPECT_TRUE(result.text.startsWith(QString::fromUtf8(start))) << result.text.toStdString();
    }
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

// Every text reaches the shell as one word, verbatim, and runs nothing.
TEST(ShellQuote, RoundTripsThroughShAndInstallGetsExactlyItsArguments) {
    testing::Scratch scratch;
    const QString pwned = scratch.path("pwned");
    for (const QString& text :
         {QString("it's '' '"), QString("say \"hi\" a\\b\\'c\\"), QString("$HOME ${PATH} * ?"),
          "$(touch " + pwned + ") `touch " + pwned + "`", QString("a  b\tc\nuno;"),
          QString("ñandú ¿qué?")}) {
        QProcess sh;
        sh.start("/bin/sh", {"-c", "printf %s " + shellQuote(text)});
        ASSERT_TRUE(sh.waitForFinished());
        EXPECT_EQ(sh.readAllStandardOutput(), text.toUtf8());
    }
    EXPECT_FALSE(QFileInfo::exists(pwned));

    const QString staged = "/tmp/amparo.a b/it's.txt";
    const QString destination = "/etc/tranca/$(id) `id`.txt";
    QProcess sh;
    sh.start("/bin/sh",
             {"-c", "set -- " + installCommand(staged, destination) + "; printf '%s\\n' \"$@\""});
    ASSERT_TRUE(sh.waitForFinished());
    EXPECT_EQ(QString::fromUtf8(sh.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
              (QStringList{"/usr/bin/install", "-m", "644", "-o", "root", "-g", "root", staged,
                           destination}));
}

TEST(StageFile, WritesTheTextVerbatimInAPrivateDirectory) {
    testing::Scratch scratch;
    testing::ScopedEnv tmp("TMPDIR", QFile::encodeName(scratch.path()));
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

}  // namespace
}  // namespace amparo
