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
PrivilegedResult runToEnd(PkexecRunner&& runner, AdminVerb verb, const QByteArray& input = {}) {
    std::vector<PrivilegedResult> results;
    runner.run(verb, input, [&](const PrivilegedResult& r) { results.push_back(r); });
    EXPECT_TRUE(results.empty()) << "done ran inside run()";
    EXPECT_TRUE(waitUntil([&] { return !results.empty(); }));
    QTest::qWait(50);
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? PrivilegedResult{} : results.front();
}

// A stand-in pkexec, and a stand-in wrapper that says it was authorised and
// then does what the row asks with its verb and standard input.
TEST(PkexecRunner, HandsOverTheVerbAndInputAndEndsAsTheyDid) {
    const QByteArray ran = "exec \"$@\"\n";
    const std::tuple<const char*, QByteArray, QByteArray, AdminVerb, QByteArray, PrivilegedResult>
        rows[] = {
            // {fault, stand-in pkexec, wrapper after the marker, verb, input, result}
            {"a dismissed dialog not cancelled",
             "echo 'Error executing command as another user: Request dismissed' >&2\nexit 126\n",
             "", AdminVerb::activate, "", PrivilegedResult::cancelled()},
            {"the standard error lost", ran, "echo 'sin lugar' >&2; exit 1", AdminVerb::activate,
             "", failed("sin lugar")},
            {"the verb or its input lost (or left open: cat hangs)", ran,
             "printf '%s\\n' \"$1\"; cat", AdminVerb::saveSites, "uno\ndos\n",
             ok("guardar-sitios\nuno\ndos")},
            {"a long input cut short", ran, "wc -c", AdminVerb::saveSites, QByteArray(300000, 'x'),
             ok("300000")},
            {"a long output not kept whole", ran,
             "head -c 400000 /dev/zero | tr '\\0' x; printf FIN", AdminVerb::updateList, "",
             ok(QString(PkexecRunner::kMaxOutput - 3, u'x') + "FIN")},
        };
    for (const auto& [fault, pkexec, wrapper, verb, input, expected] : rows) {
        StandInPrograms programs;
        programs.add("pkexec", pkexec);
        programs.add("amparo-admin", "echo AMPARO-AUTORIZADO\n" + wrapper + '\n');
        EXPECT_EQ(runToEnd(PkexecRunner(programs.path("amparo-admin")), verb, input), expected)
            << fault;
    }
    for (const auto& [pkexec, wrapper, start] :
         {std::tuple{"amparo-pkexec-que-no-existe", kWrapper, "No se pudo preparar la orden.\n"},
          std::tuple{"pkexec", QStringLiteral("/nonexistent/amparo-admin"), "Abrí Amparo desde"}}) {
        const PrivilegedResult result =
            runToEnd(PkexecRunner(wrapper, pkexec), AdminVerb::activate);
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
    runner->run(AdminVerb::activate, {}, [&](const PrivilegedResult&) { called = true; });
    ASSERT_TRUE(waitUntil([&] { return readFile(programs.path("pid")).endsWith('\n'); }));
    runner.reset();
    QTest::qWait(100);
    EXPECT_FALSE(called);
    EXPECT_NE(::kill(readFile(programs.path("pid")).trimmed().toInt(), 0), 0)
        << "stand-in pkexec still running";
}

}  // namespace
}  // namespace amparo
