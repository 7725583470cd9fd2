// The daemon's "avisos" reply read as hostile input, the form's rules and
// the text handed to root and to the test mail.
#include "app/core/trusted_person.h"

#include "tests/support/support.h"

namespace amparo {
namespace {

TEST(NoticesReplyParser, TakesOnlyAWholeWellFormedReply) {
    const auto full = parseNoticesReply(
        "confianza ana@ejemplo.org smtp.ejemplo.org 465 tls yo@ejemplo.org\navisos 2\n"
        "fallo-aviso el servidor no respondió\nfin\n");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->person, (TrustedPerson{"ana@ejemplo.org", "smtp.ejemplo.org", 465,
                                           MailSecurity::tls, "yo@ejemplo.org"}));
    EXPECT_EQ(full->unsent, 2);
    EXPECT_EQ(full->fault, QStringLiteral("el servidor no respondió"));
    EXPECT_EQ(parseNoticesReply("confianza a@b.c s 25 ninguno -\navisos 0\nfin\n")->person->user,
              "");
    EXPECT_EQ(parseNoticesReply("avisos 0\nconfianza -\nfin\n"), NoticesState{});

    const std::pair<const char*, std::string> refused[] = {
        {"no fin", "confianza -\navisos 0\n"},
        {"no count", "confianza -\nfin\n"},
        {"no person line", "avisos 0\nfin\n"},
        {"a second person", "confianza -\nconfianza -\navisos 0\nfin\n"},
        {"lines after fin", "confianza -\navisos 0\nfin\navisos 1\n"},
        {"port 0", "confianza a@b.c s 0 tls -\navisos 0\nfin\n"},
        {"port past 65535", "confianza a@b.c s 65536 tls -\navisos 0\nfin\n"},
        {"an unknown security", "confianza a@b.c s 25 ssl -\navisos 0\nfin\n"},
        {"an address without @", "confianza ana s 25 tls -\navisos 0\nfin\n"},
        {"a field missing", "confianza a@b.c s 25 tls\navisos 0\nfin\n"},
        {"an extra field", "confianza a@b.c s 25 tls - x\navisos 0\nfin\n"},
        {"two spaces", "confianza a@b.c  s 25 tls -\navisos 0\nfin\n"},
        {"a negative count", "confianza -\navisos -1\nfin\n"},
        {"a fault that moves the cursor", "confianza -\navisos 1\nfallo-aviso a\x1b[2J\nfin\n"},
        {"an empty fault", "confianza -\navisos 1\nfallo-aviso \nfin\n"},
        {"carriage returns", "confianza -\r\navisos 0\r\nfin\r\n"},
        {"beyond the size bound",
         "confianza -\navisos 1\nfallo-aviso " + std::string(9000, 'x') + "\nfin\n"},
    };
    for (const auto& [fault, text] : refused) {
        EXPECT_FALSE(parseNoticesReply(text)) << fault;
    }
}

TEST(TrustedPersonForm, SavesOnlyWhatTheDaemonTakesAndNeverLosesThePassword) {
    const TrustedPersonForm good{.address = " ana@ejemplo.org ",
                                 .server = "smtp.ejemplo.org",
                                 .port = "0587",
                                 .security = MailSecurity::starttls,
                                 .user = "yo",
                                 .password = " clave con espacios "};
    EXPECT_EQ(formProblem(good), "");
    EXPECT_EQ(settingsText(good),
              QByteArray("correo=ana@ejemplo.org\nservidor=smtp.ejemplo.org\npuerto=587\n"
                         "tls=starttls\nusuario=yo\nclave= clave con espacios \n"));
    EXPECT_EQ(removalText(), "correo=\n");

    const auto with = [&good](auto change) {
        TrustedPersonForm form = good;
        change(form);
        return form;
    };
    // {fault, the form, the start of the problem shown}
    const std::tuple<const char*, TrustedPersonForm, QString> rows[] = {
        {"a line break adds a key", with([](auto& f) { f.password = "x\nclave=y"; }), "Los datos"},
        {"a Unicode line break", with([](auto& f) { f.server = "s\u2028x"; }), "Los datos"},
        {"no address", with([](auto& f) { f.address = " "; }), "Escribí el correo"},
        {"two @", with([](auto& f) { f.address = "a@b@c.org"; }), "El correo no parece"},
        {"an undotted domain", with([](auto& f) { f.address = "ana@localhost"; }), "El correo"},
        {"a blank in the server", with([](auto& f) { f.server = "smtp ejemplo"; }), "Escribí el "},
        {"port 0", with([](auto& f) { f.port = "0"; }), "El puerto"},
        {"port past 65535", with([](auto& f) { f.port = "65536"; }), "El puerto"},
        {"a port that is no number", with([](auto& f) { f.port = "5a"; }), "El puerto"},
        {"a blank in the user", with([](auto& f) { f.user = "yo mismo"; }), "El usuario"},
        {"a user without password", with([](auto& f) { f.password.clear(); }), "Con usuario"},
        {"a password sent in the clear", with([](auto& f) { f.security = MailSecurity::none; }),
         "Sin cifrar"},
        {"past the settings bound", with([](auto& f) { f.password = QString(4100, u'x'); }),
         "Los datos son demasiado"},
    };
    for (const auto& [fault, form, problem] : rows) {
        EXPECT_TRUE(formProblem(form).startsWith(problem))
            << fault << ": " << formProblem(form).toStdString();
        EXPECT_FALSE(settingsText(form)) << fault;
    }
    // The longest address SMTP allows is taken; a byte more is not.
    const QString longest = QString(64, u'a') + "@" + QString(185, u'd') + ".org";
    EXPECT_EQ(formProblem(with([&](auto& f) { f.address = longest; })), "");
    EXPECT_TRUE(
        formProblem(with([&](auto& f) { f.address = "a" + longest; })).startsWith("El correo"));
    const TrustedPersonForm loginless{"a@b.org", "mail.b.org", "25", MailSecurity::none, "", ""};
    EXPECT_EQ(formProblem(loginless), "");
    EXPECT_EQ(formFor(TrustedPerson{"a@b.org", "mail.b.org", 25, MailSecurity::none, ""}),
              loginless);
    // The usual port follows the security; a port of one's own stays.
    EXPECT_EQ(portAfterSecurity("587", MailSecurity::starttls, MailSecurity::tls), "465");
    EXPECT_EQ(portAfterSecurity("2525", MailSecurity::starttls, MailSecurity::tls), "2525");
}

TEST(TrustedPersonTexts, ReadInSpanish) {
    EXPECT_EQ(unsentLine(0), "");
    EXPECT_EQ(unsentLine(1), "1 aviso sin enviar");
    EXPECT_EQ(unsentLine(3), "3 avisos sin enviar");
    EXPECT_EQ(unsentFaultLine({std::nullopt, 0, "viejo"}), "") << "nothing unsent, no reason";
    const auto normal = QProcess::NormalExit;
    // {fault, exit status, code, output, result}
    const std::tuple<const char*, QProcess::ExitStatus, int, QByteArray, TestMailResult> rows[] = {
        {"the line lost",
         normal,
         0,
         "\n  Correo enviado a ana.\n",
         {true, "Correo enviado a ana."}},
        {"a refusal shown as sent",
         normal,
         1,
         "Contraseña incorrecta.\nmás",
         {false, "Contraseña incorrecta."}},
        {"a silent refusal without text", normal, 2, "", {false, "Los datos no son válidos."}},
        {"a crash taken for its code",
         QProcess::CrashExit,
         0,
         "Correo enviado",
         {false, "La prueba se interrumpió antes de terminar."}},
        {"a control character shown", normal, 1, "mal\x1b[2J", {false, "mal[2J"}},
    };
    for (const auto& [fault, status, code, output, result] : rows) {
        EXPECT_EQ(testMailResult(status, code, output), result) << fault;
    }
}

}  // namespace
}  // namespace amparo
