// Where the model's snapshots come from: the product's prober looks at this
// machine, the capture mode's gatherer yields one fixed picture, and tests
// script their own.
#pragma once

#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "app/core/snapshot.h"

namespace amparo {

class Gatherer {
  public:
    virtual ~Gatherer() = default;
    // Runs on the model's gathering thread, one call at a time.
    virtual ProtectionSnapshot gather() = 0;
    // A snapshot known without gathering, which the model starts from;
    // none when only a gathering can tell ("Revisando…" until then).
    virtual std::optional<ProtectionSnapshot> known() const { return std::nullopt; }
};

// Whatever the function returns, gathered like any other.
std::unique_ptr<Gatherer> gathererOf(std::function<ProtectionSnapshot()> gather);

// The demonstration snapshot of a capture state name ("activa", "respaldo",
// "sin-instalar", …); names it does not know show the active state.
ProtectionSnapshot captureSnapshot(const QString& stateName, const QDateTime& now);

// The capture mode's picture of one state: known from the start, and the
// same on every gathering, so nothing of this machine ever shows in it.
class CaptureGatherer : public Gatherer {
  public:
    explicit CaptureGatherer(const QString& stateName,
                             const QDateTime& now = QDateTime::currentDateTime())
        : snapshot_(captureSnapshot(stateName, now)) {}

    ProtectionSnapshot gather() override { return snapshot_; }
    std::optional<ProtectionSnapshot> known() const override { return snapshot_; }

  private:
    const ProtectionSnapshot snapshot_;
};

}  // namespace amparo
