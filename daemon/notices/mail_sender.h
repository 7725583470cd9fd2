// One message to the trusted person through the configured mail server, with
// libcurl's SMTP: STARTTLS or TLS from the start as chosen, a bounded time
// per attempt, and a Spanish reason when it fails.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "daemon/notices/trusted_person.h"

namespace tranca {

struct MailOutcome {
    bool sent = false;
    std::string fault;
};

// The sender's address: the login when it is an address (servers refuse
// others), else the recipient's own.
std::string senderAddress(const TrustedPerson& person);

MailOutcome sendMail(const TrustedPerson& person, std::string_view recipient,
                     std::string_view message, std::chrono::seconds timeout);

}  // namespace tranca
