// What the user can do to the filter and around it, as the views and the
// dispatcher of commands see it; ProtectionActions does it for real, tests
// record it.
#pragma once

#include <QStringList>
#include <QtGlobal>
#include <functional>

#include "app/core/snapshot.h"
#include "app/core/trusted_person.h"

namespace amparo {

// What the user can do; the views call these and never change state
// themselves.
class AmparoActions {
  public:
    virtual ~AmparoActions() = default;
    virtual void activate() = 0;
    virtual void deactivate() = 0;
    virtual void restoreInternet() = 0;
    virtual void updateList() = 0;
    virtual void saveSites(const QStringList& blocked, const QStringList& allowed) = 0;
    virtual void setBlockDestination(BlockDestination destination) = 0;
    virtual void setContentFilter(bool on) = 0;
    virtual void uninstall() = 0;
    // Needs no password: cancelling only tightens.
    virtual void cancelPending() = 0;
    virtual void setWait(qint64 seconds) = 0;
    // Nothing is asked for while the form has a problem.
    virtual void saveTrustedPerson(const TrustedPersonForm& form) = 0;
    virtual void removeTrustedPerson() = 0;
    // As the user, with the settings typed; done gets the outcome once,
    // later, from the event loop.
    using TestMailDone = std::function<void(const TestMailResult&)>;
    virtual void sendTestMail(const TrustedPersonForm& form, TestMailDone done) = 0;
    virtual void openLog() = 0;
    virtual void donate() = 0;
    virtual void checkForUpdates() = 0;
    virtual void openWebsite() = 0;
};

}  // namespace amparo
