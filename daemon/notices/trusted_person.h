// The trusted person's settings as stored in the root-only confianza.conf:
// where the notices go and the mail server that carries them. Read and
// written as the "key=value" text the app sends; checked whole, because a
// value with a line break could smuggle a header into every notice.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tranca {

enum class MailTls { starttls, implicit, none };

struct TrustedPerson {
    std::string address;
    std::string server;
    int port = 587;
    MailTls tls = MailTls::starttls;
    std::string user;
    std::string password;

    bool operator==(const TrustedPerson&) const = default;
};

// nullopt, with a Spanish reason naming the field in error, when any line is
// not understood, a key repeats or is missing, or a value is unusable. An
// empty address parses to a person with no address: the request to remove it.
std::optional<TrustedPerson> parseTrustedPerson(std::string_view text, std::string& error);
std::string trustedPersonText(const TrustedPerson& person);

std::string_view tlsWord(MailTls tls);

// A plain address: one "@", a dotted domain, nothing a header could be
// broken with.
bool isMailAddress(std::string_view address);

// The socket's "confianza" line without the password.
std::string personLine(const std::optional<TrustedPerson>& person);

}  // namespace tranca
