// Names resolved the way every other program on the machine resolves them,
// to see whether the system's DNS leads to the filter.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace amparo {

// The IPv4 addresses the system resolver gives for a name; none on failure.
std::optional<QStringList> resolveWithSystem(const QString& name);

}  // namespace amparo
