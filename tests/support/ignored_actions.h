// Actions that do nothing: a test overrides only those it watches.
#pragma once

#include "app/core/amparo_actions.h"

namespace amparo::testing {

struct IgnoredActions : AmparoActions {
    void activate() override {}
    void deactivate() override {}
    void restoreInternet() override {}
    void updateList() override {}
    void saveSites(const QStringList&, const QStringList&) override {}
    void setBlockDestination(BlockDestination) override {}
    void setContentFilter(bool) override {}
    void uninstall() override {}
    void cancelPending() override {}
    void setWait(qint64) override {}
    void saveTrustedPerson(const TrustedPersonForm&) override {}
    void removeTrustedPerson() override {}
    void sendTestMail(const TrustedPersonForm&, TestMailDone) override {}
    void openLog() override {}
    void donate() override {}
    void checkForUpdates() override {}
    void openWebsite() override {}
};

}  // namespace amparo::testing
