// Whether the filter answers DNS, asked as any program would: the status name
// over UDP, with nothing but a reply to that very query counting.
#pragma once

#include <QtGlobal>
#include <chrono>

namespace amparo {

// True when something on 127.0.0.1:port answers the status query with its ID
// within the timeout.
bool probeDaemon(quint16 port, std::chrono::milliseconds timeout, quint32 address = 0x7f000001);

// An address no resolver answers on (TEST-NET-1, documentation only): the
// status name asked there is answered only when the DNS lock takes every
// program's DNS to the filter, which an ordinary user can observe.
inline constexpr quint32 kLockProbeAddress = 0xc0000235;  // 192.0.2.53

}  // namespace amparo
