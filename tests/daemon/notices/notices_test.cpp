// The trusted person's settings, notices and messages: nothing read from the
// settings or the machine can break a mail header, stored notices come back
// whole, and the daemon's own events are told once, not in a stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <thread>

#include "daemon/notices/notice_events.h"
#include "daemon/notices/notice_text.h"
#include "daemon/notices/trusted_person.h"
#include "daemon/wait/pending_changes.h"
#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

constexpr std::string_view kGood =
    "correo=ana@example.org\nservidor=smtp.example.org\npuerto=587\ntls=starttls\n"
    "usuario=yo@example.org\nclave=una clave=con signos\n";

TEST(TrustedPersonTest, RefusesWhatCouldBreakAMessageAndKeepsWhatIsRight) {
    std::string error;
    const auto person = parseTrustedPerson(kGood, error);
    ASSERT_TRUE(person) << error;
    EXPECT_EQ(person->password, "una clave=con signos");
    EXPECT_EQ(parseTrustedPerson(trustedPersonText(*person), error), person);
    EXPECT_EQ(personLine(person),
              "confianza ana@example.org smtp.example.org 587 starttls "
              "yo@example.org");
    const std::string good(kGood);
    const auto with = [&](std::string_view from, std::string_view to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    for (const std::string& bad :
         {with("ana@example.org", "ana@example.org\rBcc: x@example.org"),
          with("ana@example.org", "ana@localhost"), with("587", "70000"), with("587", "58x"),
          with("starttls", "ninguno"), with("una clave=con signos", ""),
          with("smtp.example.org", "smtp example.org"), good + "correo=otro@example.org\n",
          good + "cco=x@example.org\n", with("clave=", "clave=\x01")}) {
        error.clear();
        EXPECT_FALSE(parseTrustedPerson(bad, error)) << bad;
        EXPECT_TRUE(error.starts_with("Los datos de la persona de confianza no son válidos"));
    }
    const auto removal = parseTrustedPerson("correo=\n", error);
    ASSERT_TRUE(removal);
    EXPECT_TRUE(removal->address.empty());
}

std::string decodedWord(std::string_view word) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : word) {
        if (c == '=') {
            break;
        }
        bits = bits << 6 | static_cast<std::uint32_t>(kAlphabet.find(c));
        if ((count += 6) >= 8) {
            out.push_back(static_cast<char>(bits >> (count -= 8) & 0xff));
        }
    }
    return out;
}

TEST(NoticeTextTest, HeadersStayWellFormedWhateverTheMachineIsCalled) {
    Notice notice{.id = "0000001765234567-1-0",
                  .createdAt = 1765234567,
                  .nextAttempt = 0,
                  .attempts = 0,
                  .recipient = {},
                  .lastFault = {},
                  .subject = "Amparo: la protección se detuvo en ñandú ÄÖÜ€ una y otra vez",
                  .body = "Texto.\n"};
    const std::string machine = "casa\r\nBcc: otro@example.org";
    const std::string message = mailMessage(notice, "yo@example.org", "ana@example.org", machine);
    const std::string headers = message.substr(0, message.find("\r\n\r\n") + 2);
    std::string subject;
    std::size_t at = 0;
    for (std::size_t end; (end = headers.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = headers.substr(at, end - at);
        EXPECT_LE(line.size(), 78U) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        EXPECT_FALSE(line.starts_with("Bcc")) << line;
        const auto word = line.find("=?UTF-8?B?");
        if (word != std::string::npos) {
            subject += decodedWord(std::string_view(line).substr(word + 10));
        }
    }
    EXPECT_EQ(subject, notice.subject + " (casa  Bcc: otro@example.org)");
    EXPECT_NE(message.find("Message-ID: <0000001765234567-1-0@amparo.invalid>\r\n"),
              std::string::npos);
}

TEST(NoticeQueueTest, NoticesAndCountsComeBackWholeAndBrokenOnesDoNot) {
    Notice notice{.id = NoticeQueue::newId(1765234567000),
                  .createdAt = 1765234567,
                  .nextAttempt = 1765234600,
                  .attempts = 3,
                  .recipient = "ana@example.org",
                  .lastFault = "No se pudo\nconectar",
                  .subject = "Amparo: algo",
                  .body = "Línea uno.\n\nLínea dos.\n"};
    const auto back = parseNotice(noticeText(notice));
    ASSERT_TRUE(back);
    notice.lastFault = "No se pudo conectar";
    EXPECT_EQ(*back, notice);
    EXPECT_LT(notice.id, NoticeQueue::newId(1765234567001));
    EXPECT_FALSE(parseNotice("id x\nintentos -1\nasunto a\n\n"));
    EXPECT_FALSE(parseNotice("asunto sin id\n\ncuerpo"));
    const WeekCounts counts{1, 2, 3, 4, 5, "arranque", 6};
    EXPECT_EQ(parseWeekCounts(weekCountsText(counts)), counts);
    EXPECT_FALSE(parseWeekCounts("inicio ayer\n"));

    WaitState state;
    state.waitSeconds = 300;
    PendingChange change;
    change.action = PendingAction::trustedPerson;
    change.personSettings = "correo=\n";
    change.scriptDirectory = "/usr/lib/amparo";
    enqueue(state, change);
    const auto stored = parseWaitState(waitStateText(state));
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, state);
    EXPECT_EQ(pendingWhat(stored->changes[0]), "la persona de confianza se quitará");
    PendingChange sites;
    sites.action = PendingAction::sites;
    sites.allow = {"privado.example"};
    EXPECT_EQ(pendingWhat(sites).find("privado"), std::string::npos) << "a notice names no site";
    std::string text = waitStateText(state);
    text.replace(text.find("636f"), 4, "6x6f");
    EXPECT_FALSE(parseWaitState(text));
}

TEST(NoticeEventsTest, APutBackIsToldOnceAnHourAndAnAskedStopNotAtAll) {
    testing::ScratchDir dir;
    const NoticePlaces places{(dir / "confianza.conf").string(), (dir / "avisos").string()};
    testing::writeText(places.settingsPath, kGood);
    std::int64_t now = 1765234567;
    int wakes = 0;
    NoticeEvents events(
        dir.path().string(), places, [&] { ++wakes; }, [&] { return now; });
    const auto unsent = [&] { return queueState(places).unsent; };
    events.putBack("el DNS");
    events.putBack("el DNS");
    events.putBack("la configuración de proxy");
    EXPECT_EQ(unsent(), 2U);
    now += 3599;
    events.putBack("el DNS");
    EXPECT_EQ(unsent(), 2U);
    now += 2;
    events.putBack("el DNS");
    EXPECT_EQ(unsent(), 3U);
    EXPECT_EQ(wakes, 3);

    // A stop asked through Amparo may take its time: ten minutes.
    markStopAsked(dir.path().string());
    now = std::time(nullptr) + 590;
    EXPECT_TRUE(events.daemonStopping("el servicio se detiene", false));
    EXPECT_EQ(unsent(), 3U);
    EXPECT_TRUE(events.daemonStopping("el servicio se detiene", true));
    EXPECT_EQ(unsent(), 3U);
    events.daemonStopping("el servicio se detiene", false);
    EXPECT_EQ(unsent(), 4U);
}

TEST(NoticeEventsTest, TheSummaryComesOnceAWeek) {
    testing::ScratchDir dir;
    const NoticePlaces places{(dir / "confianza.conf").string(), (dir / "avisos").string()};
    testing::writeText(places.settingsPath, kGood);
    std::int64_t now = 1765234567;
    NoticeEvents events(
        dir.path().string(), places, [] {}, [&] { return now; });
    events.tally(true);
    now += 6 * 24 * 3600;
    events.tally(true);
    EXPECT_EQ(queueState(places).unsent, 0U);
    now += 24 * 3600;
    events.tally(true);
    EXPECT_EQ(queueState(places).unsent, 1U);
}

TEST(NoticeSenderTest, AFailedSendStaysQueuedWithItsReasonWhileWokenFromOtherThreads) {
    testing::ScratchDir dir;
    const NoticePlaces places{(dir / "confianza.conf").string(), (dir / "avisos").string()};
    // Port 9 on loopback: nothing listens, the connection is refused at once.
    testing::writeText(places.settingsPath,
                       "correo=ana@example.org\nservidor=127.0.0.1\npuerto=9\ntls=ninguno\n");
    ASSERT_TRUE(queueNotice(places, testWords(1765234567)));
    {
        NoticeSender sender(places, senderTimingsFor(30), std::chrono::milliseconds(50));
        std::thread waker([&] {
            for (int i = 0; i < 20; ++i) {
                sender.wake();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        waker.join();
        for (int i = 0; i < 200 && queueState(places).fault.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    const QueueState state = queueState(places);
    EXPECT_EQ(state.unsent, 1U);
    EXPECT_EQ(state.fault, "No se pudo conectar con el servidor de correo 127.0.0.1:9.");
    EXPECT_NE(noticesReply(places).find("avisos 1\nfallo-aviso No se pudo conectar"),
              std::string::npos);
}

}  // namespace
}  // namespace tranca
