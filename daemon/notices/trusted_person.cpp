#include "daemon/notices/trusted_person.h"

#include <algorithm>
#include <map>

#include "contract/notices.h"
#include "daemon/text.h"

namespace tranca {

namespace {

namespace keys = amparo::notices;

bool hasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

bool isHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

std::optional<MailTls> tlsFromWord(std::string_view word) {
    if (word == keys::kTlsModes[0]) {
        return MailTls::starttls;
    }
    if (word == keys::kTlsModes[1]) {
        return MailTls::implicit;
    }
    if (word == keys::kTlsModes[2]) {
        return MailTls::none;
    }
    return std::nullopt;
}

std::optional<TrustedPerson> refuse(std::string& error, std::string_view why) {
    error = "Los datos de la persona de confianza no son válidos: " + std::string(why) + ".";
    return std::nullopt;
}

}  // namespace

bool isMailAddress(std::string_view address) {
    const std::size_t at = address.find('@');
    if (address.size() > 254 || at == 0 || at == std::string_view::npos ||
        address.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    const std::string_view local = address.substr(0, at);
    const std::string_view domain = address.substr(at + 1);
    const bool localOk = std::all_of(local.begin(), local.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("._%+-").find(c) != std::string_view::npos;
    });
    return localOk && domain.find('.') != std::string_view::npos && domain.front() != '.' &&
           domain.back() != '.' && domain.find(':') == std::string_view::npos && isHostName(domain);
}

std::string_view tlsWord(MailTls tls) {
    switch (tls) {
        case MailTls::starttls:
            return keys::kTlsModes[0];
        case MailTls::implicit:
            return keys::kTlsModes[1];
        case MailTls::none:
            break;
    }
    return keys::kTlsModes[2];
}

std::optional<TrustedPerson> parseTrustedPerson(std::string_view text, std::string& error) {
    if (text.size() > keys::kMaxSettingsBytes) {
        return refuse(error, "el texto es demasiado largo");
    }
    std::map<std::string, std::string, std::less<>> values;
    std::optional<std::string_view> refusal;
    text::forEachLine(text, [&](std::string_view line) {
        if (refusal || line.empty() || line.front() == '#') {
            return;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || hasControl(line)) {
            refusal = "una línea no se entiende";
        } else if (!values.emplace(std::string(line.substr(0, equals)), line.substr(equals + 1))
                        .second) {
            refusal = "un dato está repetido";
        }
    });
    if (refusal) {
        return refuse(error, *refusal);
    }
    TrustedPerson person;
    const auto take = [&values](std::string_view key) -> std::optional<std::string> {
        const auto found = values.find(key);
        if (found == values.end()) {
            return std::nullopt;
        }
        std::string value = std::move(found->second);
        values.erase(found);
        return value;
    };
    const auto address = take(keys::kAddressKey);
    if (!address) {
        return refuse(error, "falta el correo");
    }
    person.address = *address;
    if (person.address.empty()) {
        return person;
    }
    if (!isMailAddress(person.address)) {
        return refuse(error, "el correo no parece una dirección");
    }
    const auto server = take(keys::kServerKey);
    const auto port = take(keys::kPortKey);
    const auto tls = take(keys::kTlsKey);
    const auto user = take(keys::kUserKey);
    const auto password = take(keys::kPasswordKey);
    if (!server || !isHostName(*server)) {
        return refuse(error, "el servidor de correo no es un nombre válido");
    }
    person.server = *server;
    const auto portNumber = port ? text::parseInteger(*port) : std::nullopt;
    if (!portNumber || *portNumber < 1 || *portNumber > 65535) {
        return refuse(error, "el puerto debe ser un número de 1 a 65535");
    }
    person.port = static_cast<int>(*portNumber);
    const auto mode = tls ? tlsFromWord(*tls) : std::nullopt;
    if (!mode) {
        return refuse(error, "el modo TLS debe ser starttls, tls o ninguno");
    }
    person.tls = *mode;
    person.user = user.value_or("");
    person.password = password.value_or("");
    if (person.user.find(' ') != std::string::npos) {
        return refuse(error, "el usuario no puede tener espacios");
    }
    if (!person.user.empty() && person.password.empty()) {
        return refuse(error, "falta la contraseña del usuario");
    }
    if (person.tls == MailTls::none && !person.user.empty()) {
        return refuse(error,
                      "sin cifrado no se envía ninguna contraseña: el usuario debe quedar vacío");
    }
    if (!values.empty()) {
        return refuse(error, "el dato «" + values.begin()->first + "» no se conoce");
    }
    return person;
}

std::string trustedPersonText(const TrustedPerson& person) {
    std::string text;
    const auto put = [&text](std::string_view key, std::string_view value) {
        text.append(key).append("=").append(value).append("\n");
    };
    put(keys::kAddressKey, person.address);
    if (person.address.empty()) {
        return text;
    }
    put(keys::kServerKey, person.server);
    put(keys::kPortKey, std::to_string(person.port));
    put(keys::kTlsKey, tlsWord(person.tls));
    put(keys::kUserKey, person.user);
    put(keys::kPasswordKey, person.password);
    return text;
}

std::string personLine(const std::optional<TrustedPerson>& person) {
    std::string line(keys::kPersonLine);
    if (!person || person->address.empty()) {
        return line.append(" ").append(keys::kNone);
    }
    line.append(" ").append(person->address).append(" ").append(person->server);
    line.append(" ").append(std::to_string(person->port)).append(" ").append(tlsWord(person->tls));
    return line.append(" ").append(person->user.empty() ? keys::kNone : person->user);
}

}  // namespace tranca
