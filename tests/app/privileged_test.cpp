#include "app/core/privileged.h"

#include <memory>

#include <signal.h>

#include "tests/support/support.h"

namespace amparo {

void PrintTo(const PrivilegedResult& result, std::ostream* out) {
    *out << "{kind " << int(result.kind) << ", " << result.text.toStdString() << '}';
}

namespace {

using testing::readFile;
using testing::StandInPrograms;
using testing::waitUntil;
using Kind = PrivilegedResult::Kind;
constexpr auto failed = &PrivilegedResult::failed;
constexpr auto ok = &PrivilegedResult::ok;

TEST(PkexecClassify, TellsWhoEndedTheRun) {
    const QString refusal = QStringLiteral(
        "Error executing command as another user: Not authorized\n\nThis incident has been "
        "reported.");
    const QString noPermission = QStringLiteral("No se obtuvo el permiso de administrador.");
    const QByteArray marker = "AMPARO-AUTORIZADO\n";
    const auto normal = QProcess::NormalExit, crash = QProcess::CrashExit;
    using Row = std::tuple<const char*, QProcess::ExitStatus, int, QByteArray, PrivilegedResult>;
    const Row rows[] = {
        {"output after the marker lost", normal, 0, marker + "  listo\n", ok("listo")},
        {"the command's error text hidden", normal, 1, marker + "sin lugar\n", failed("sin lugar")},
        {"a silent failure without message", normal, 3, marker,
         failed("La orden terminó con el código 3.")},
        {"the command's 126 taken for a dismissal", normal, 126, marker,
         failed("La orden terminó con el código 126.")},
        {"the command's 127 taken for a refusal", normal, 127, marker + "sh: 1: x: not found\n",
         failed("sh: 1: x: not found")},
        {"a dismissed dialog reported as a failure", normal, 126,
         "Error executing command as another user: Request dismissed\n",
         PrivilegedResult::cancelled()},
        {"a refusal loses pkexec's reason", normal, 127, refusal.toUtf8() + '\n',
         failed(noPermission + '\n' + refusal)},
        {"a crash before the marker taken for a dismissal", crash, 126, "", failed(noPermission)},
        {"a crash after the marker taken for success", crash, 0, marker + "mitad",
         failed("La orden se interrumpió antes de terminar.\nmitad")},
        {"pkexec's noise shown as output", normal, 0, "aviso del agente\n" + marker + "hecho",
         ok("hecho")},
        {"a marker echoed by the command swallowed", normal, 0, marker + marker,
         ok("AMPARO-AUTORIZADO")},
        {"invalid UTF-8 drops the text", normal, 0, marker + "ca\xffn\xc3\xb1",
         ok(QStringLiteral("ca\uFFFDn\u00F1"))},
    };
    for (const auto& [fault, status, code, output, expected] : rows) {
        EXPECT_EQ(classifyPkexec(status, code, output), expected) << fault;
    }
}

const QString kWrapper = QStringLiteral(AMPARO_SOURCE_DIR "/app/resources/amparo-admin");

// Runs to the end and checks done came exactly once, from the event loop.
PrivilegedResult runToEnd(PkexecRunner&& runner, const QString& command) {
    std::vector<PrivilegedResult> results;
    runner.run(command, [&](const PrivilegedResult& r) { results.push_back(r); });
    EXPECT_TRUE(results.empty()) << "done ran inside run()";
    EXPECT_TRUE(waitUntil([&] { return !results.empty(); })) << command.toStdString();
    QTest::qWait(50);
    EXPECT_EQ(results.size(), 1u) << command.toStdString();
    return results.empty() ? PrivilegedResult{} : results.front();
}

// Through the real root wrapper, with a stand-in pkexec.
TEST(PkexecRunner, EndsAsPkexecAndTheCommandDid) {
    const QByteArray ran = "exec \"$@\"\n";
    const std::tuple<const char*, QByteArray, QString, PrivilegedResult> rows[] = {
        // {fault, what the stand-in pkexec does with "wrapper command", command, result}
        {"a dismissed dialog not cancelled",
         "echo 'Error executing command as another user: Request dismissed' >&2\nexit 126\n",
         "true", PrivilegedResult::cancelled()},
        {"the command's standard error lost", ran, "echo 'sin lugar' >&2; exit 1",
         failed("sin lugar")},
        {"the command's output lost", ran, "printf 'uno\\ndos\\n'", ok("uno\ndos")},
        {"standard input left open hangs", ran, "cat", ok("")},
        {"a long output kept whole", ran, "head -c 400000 /dev/zero | tr '\\0' x; printf FIN",
         ok(QString(PkexecRunner::kMaxOutput - 3, u'x') + "FIN")},
    };
    for (const auto& [fault, pkexec, command, expected] : rows) {
        StandInPrograms programs;
        programs.add("pkexec", pkexec);
        EXPECT_EQ(runToEnd(PkexecRunner(kWrapper), command), expected) << fault;
    }
    for (const auto& [pkexec, wrapper, start] :
         {std::tuple{"amparo-pkexec-que-no-existe", kWrapper, "No se pudo preparar la orden.\n"},
          std::tuple{"pkexec", QStringLiteral("/nonexistent/amparo-admin"), "Abrí Amparo desde"}}) {
        const PrivilegedResult result = runToEnd(PkexecRunner(wrapper, pkexec), "true");
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
    runner.reset();
    QTest::qWait(100);
    EXPECT_FALSE(called);
    EXPECT_NE(::kill(readFile(programs.path("pid")).trimmed().toInt(), 0), 0)
        << "stand-in pkexec still running";
}

// What /bin/sh prints for this script.
QString sh(const QString& script) {
    QProcess sh;
    sh.start("/bin/sh", {"-c", script});
    EXPECT_TRUE(sh.waitForFinished());
    return QString::fromUtf8(sh.readAllStandardOutput());
}

// Every text reaches the shell as one word, verbatim, and runs nothing.
TEST(ShellQuote, RoundTripsThroughShAndInstallGetsExactlyItsArguments) {
    testing::Scratch scratch;
    const QString pwned = scratch.path("pwned");
    for (const QString& text :
         {QString("it's '' '"), QString("say \"hi\" a\\b\\'c\\"), QString("$HOME ${PATH} * ?"),
          "$(touch " + pwned + ") `touch " + pwned + "`", QString("a  b\tc\nuno;"),
          QString("ñandú ¿qué?")}) {
        EXPECT_EQ(sh("printf %s " + shellQuote(text)), text);
    }
    EXPECT_FALSE(QFileInfo::exists(pwned));

    const QString staged = "/tmp/amparo.a b/it's.txt";
    const QString destination = "/etc/tranca/$(id) `id`.txt";
    EXPECT_EQ(sh("set -- " + installCommand(staged, destination) + "; printf '%s\\n' \"$@\"")
                  .split('\n', Qt::SkipEmptyParts),
              (QStringList{"/usr/bin/install", "-m", "644", "-o", "root", "-g", "root", staged,
                           destination}));
}

TEST(StageFile, WritesTheTextVerbatimInAPrivateDirectory) {
    testing::Scratch scratch;
    const auto tmp = testing::scopedEnv("TMPDIR", QFile::encodeName(scratch.path()));
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
