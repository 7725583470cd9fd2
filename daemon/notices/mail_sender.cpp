#include "daemon/notices/mail_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "daemon/notices/notice_text.h"

namespace tranca {

namespace {

struct Upload {
    std::string_view rest;
};

std::size_t readChunk(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const std::size_t length = std::min(size * count, upload->rest.size());
    std::copy_n(upload->rest.data(), length, buffer);
    upload->rest.remove_prefix(length);
    return length;
}

std::string faultText(CURLcode code, long response, const TrustedPerson& person) {
    const std::string where = person.server + ":" + std::to_string(person.port);
    switch (code) {
        case CURLE_LOGIN_DENIED:
            return "El servidor de correo rechazó el usuario o la contraseña.";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "No se encontró el servidor de correo " + person.server + ".";
        case CURLE_COULDNT_CONNECT:
            return "No se pudo conectar con el servidor de correo " + where + ".";
        case CURLE_OPERATION_TIMEDOUT:
            return "El servidor de correo " + where + " no respondió a tiempo.";
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return "No se pudo establecer una conexión segura (TLS) con el servidor de correo " +
                   where + ".";
        default:
            break;
    }
    if (response == 530) {
        return "El servidor de correo pide iniciar sesión: faltan el usuario y la contraseña.";
    }
    if (response >= 400) {
        return "El servidor de correo no aceptó el aviso (respuesta " + std::to_string(response) +
               ").";
    }
    return std::string("No se pudo enviar el aviso: ") + curl_easy_strerror(code) + ".";
}

// The name to greet the server with. libcurl would take the host name as
// it is, and refuse the whole send when it holds a control character.
std::string greetingName() {
    const std::string text = machineName();
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-';
    });
    return plain ? text : "localhost";
}

}  // namespace

std::string senderAddress(const TrustedPerson& person) {
    return isMailAddress(person.user) ? person.user : person.address;
}

MailOutcome sendMail(const TrustedPerson& person, std::string_view recipient,
                     std::string_view message, std::chrono::seconds timeout) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                   curl_easy_cleanup);
    if (!easy) {
        return {false, "No se pudo preparar el envío del aviso."};
    }
    const std::string scheme = person.tls == MailTls::implicit ? "smtps://" : "smtp://";
    const bool bracket =
        person.server.find(':') != std::string::npos && person.server.front() != '[';
    const std::string url = scheme + (bracket ? "[" + person.server + "]" : person.server) + ":" +
                            std::to_string(person.port) + "/" + greetingName();
    const std::string from = "<" + senderAddress(person) + ">";
    const std::string to = "<" + std::string(recipient) + ">";
    curl_slist* recipients = curl_slist_append(nullptr, to.c_str());
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> recipientList(
        recipients, curl_slist_free_all);
    Upload upload{message};
    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_USE_SSL,
                     person.tls == MailTls::none ? CURLUSESSL_NONE : CURLUSESSL_ALL);
    // A password only ever travels encrypted (the settings refuse a login
    // without TLS).
    if (!person.user.empty() && person.tls != MailTls::none) {
        curl_easy_setopt(handle, CURLOPT_USERNAME, person.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, person.password.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readChunk);
    curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    const CURLcode code = curl_easy_perform(handle);
    long response = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response);
    if (code == CURLE_OK) {
        return {true, {}};
    }
    return {false, faultText(code, response, person)};
}

}  // namespace tranca
