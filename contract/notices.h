// The trusted person ("persona de confianza") as the daemon, its command line
// and Amparo all speak it: the settings text, the notice queue's place, and
// the wait socket's "avisos" exchange that tells anyone how many notices are
// still unsent. A notice says what happened to the protection and when; it
// never carries a site name.
//
// Settings text, one "key=value" a line, the value to the end of the line
// (the same text on "trancad --probar-aviso"'s and "amparo-admin
// guardar-confianza"'s standard input; an empty "correo" removes the person):
//   correo=ana@example.org
//   servidor=smtp.example.org
//   puerto=587
//   tls=starttls            starttls | tls | ninguno
//   usuario=yo@example.org  (may be empty: no login)
//   clave=…                 (never printed, logged or sent on the socket)
//
// On the wait socket a client sends "avisos" and reads until "fin":
//   confianza <correo> <servidor> <puerto> <tls> <usuario or ->
//   confianza -                             (no trusted person)
//   avisos <unsent count>
//   fallo-aviso <why the oldest unsent one failed, to the end of the line>
//   fin
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace amparo::notices {

inline constexpr std::string_view kSettingsFile = "confianza.conf";
inline constexpr std::string_view kQueueFolder = "avisos";

inline constexpr std::string_view kAddressKey = "correo";
inline constexpr std::string_view kServerKey = "servidor";
inline constexpr std::string_view kPortKey = "puerto";
inline constexpr std::string_view kTlsKey = "tls";
inline constexpr std::string_view kUserKey = "usuario";
inline constexpr std::string_view kPasswordKey = "clave";

// STARTTLS on a plain port, TLS from the first byte, or none (then no
// password is ever sent).
inline constexpr std::array<std::string_view, 3> kTlsModes{"starttls", "tls", "ninguno"};

// Settings texts longer than this are refused whole.
inline constexpr std::size_t kMaxSettingsBytes = 4096;

inline constexpr std::string_view kNoticesCommand = "avisos";
inline constexpr std::string_view kPersonLine = "confianza";
inline constexpr std::string_view kUnsentLine = "avisos";
inline constexpr std::string_view kUnsentFaultLine = "fallo-aviso";
inline constexpr std::string_view kNone = "-";

// The pending-change word of a change of the trusted person.
inline constexpr std::string_view kChangePerson = "confianza";

}  // namespace amparo::notices
