#include "app/ui/sites_view.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <functional>

#include "tests/support/ignored_actions.h"
#include "tests/support/support.h"

namespace amparo::ui {
namespace {

TEST(NormalizedSite, KeepsTheBareDomainOfWhatWasTyped) {
    const QString longest = QString(249, u'a') + QStringLiteral(".com");
    struct Row {
        const char* fault;
        QString typed;
        std::optional<QString> site;
    };
    const Row rows[] = {
        {"scheme kept", "https://ejemplo.com", "ejemplo.com"},
        {"www. kept", "www.ejemplo.com", "ejemplo.com"},
        {"capitals kept", "EjEmPlo.COM", "ejemplo.com"},
        {"path kept", "ejemplo.com/juegos/1", "ejemplo.com"},
        {"query kept", "ejemplo.com?pagina=2", "ejemplo.com"},
        {"fragment kept", "ejemplo.com#arriba", "ejemplo.com"},
        {"blanks and newline kept", " \tejemplo.com \n", "ejemplo.com"},
        {"port kept", "ejemplo.com:8080", "ejemplo.com"},
        {"mixed decorations kept", " HTTPS://WWW.Ejemplo.com:8080/a?b#c\n", "ejemplo.com"},
        {"scheme cut at its last occurrence", "http://a.com/?ir=http://b.com", "a.com"},
        {"trailing dots kept", "ejemplo.com..", "ejemplo.com"},
        {"www. removed more than once", "www.www.x.com", "www.x.com"},
        {"www. removed inside", "juegos.www.com", "juegos.www.com"},
        {"subdomain dropped", "juegos.ejemplo.com", "juegos.ejemplo.com"},
        {"trailing hyphen rejected", "ejemplo-.com", "ejemplo-.com"},
        {"single-letter top level rejected", "ejemplo.c", "ejemplo.c"},
        {"long label rejected", QString(64, u'a') + ".com", QString(64, u'a') + ".com"},
        {"longest name rejected", longest, longest},
        {"length measured before cutting", "https://" + longest + "/ruta", longest},
        {"name too long accepted", "a" + longest, std::nullopt},
        {"empty accepted", "", std::nullopt},
        {"dotless name accepted", "localhost", std::nullopt},
        {"www. leaving a bare top level accepted", "www.com", std::nullopt},
        {"leading dot accepted", ".ejemplo.com", std::nullopt},
        {"leading hyphen accepted", "-ejemplo.com", std::nullopt},
        {"empty label accepted", "ejemplo..com", std::nullopt},
        {"inner blank accepted", "ejem plo.com", std::nullopt},
        {"non-ASCII letter accepted", "ñandú.com", std::nullopt},
        {"user part accepted", "usuario@ejemplo.com", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(normalizedSite(row.typed), row.site) << row.fault;
    }
}

class SiteListTest : public ::testing::Test {
  protected:
    void type(const QString& text) {
        list_.setDraft(text);
        list_.addDraft();
    }

    SiteListModel list_;
    QAbstractItemModelTester tester_{&list_, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(SiteListTest, AddsTheNormalizedSiteOnceAndAlwaysClearsTheDraft) {
    QSignalSpy counted(&list_, &SiteListModel::countChanged);
    type(QStringLiteral("Ejemplo.com"));
    type(QStringLiteral("https://www.ejemplo.com/"));
    EXPECT_EQ(list_.items(), QStringList{QStringLiteral("ejemplo.com")});
    EXPECT_EQ(list_.draft(), QString()) << "a duplicate must still clear the field";
    EXPECT_EQ(counted.count(), 1);
    EXPECT_EQ(list_.data(list_.index(0), SiteListModel::SiteRole).toString(),
              QStringLiteral("ejemplo.com"));
    EXPECT_EQ(list_.roleNames().value(SiteListModel::SiteRole), "site");
}

TEST_F(SiteListTest, OnlyTypedTextThatIsNoSiteIsInvalid) {
    struct Row {
        const char* fault;
        QString draft;
        bool invalid;
        bool canAdd;
    };
    const Row rows[] = {
        {"text not flagged", "no es un sitio", true, true},
        {"newline counted as blank", "\n", true, true},
        {"blanks flagged", " \t ", false, false},
        {"empty flagged", "", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        list_.setDraft(QStringLiteral("otro"));
        list_.setDraft(row.draft);
        EXPECT_EQ(list_.canAdd(), row.canAdd);
        list_.addDraft();
        EXPECT_EQ(list_.invalid(), row.invalid);
        EXPECT_EQ(list_.draft(), row.draft) << "a rejected draft must stay for correcting";
        EXPECT_EQ(list_.count(), 0);
    }
}

TEST_F(SiteListTest, EditingTheDraftClearsTheHint) {
    QSignalSpy flagged(&list_, &SiteListModel::invalidChanged);
    type(QStringLiteral("nada"));
    ASSERT_TRUE(list_.invalid());
    list_.setDraft(QStringLiteral("nada"));
    EXPECT_TRUE(list_.invalid()) << "setting the same text is no edit";
    list_.setDraft(QStringLiteral("nada."));
    EXPECT_FALSE(list_.invalid());
    EXPECT_EQ(flagged.count(), 2);
}

TEST_F(SiteListTest, RemovesEveryCopyAndReaddsAtTheEnd) {
    list_.setItems({QStringLiteral("a.com"), QStringLiteral("b.com"), QStringLiteral("a.com")});
    QSignalSpy counted(&list_, &SiteListModel::countChanged);
    list_.removeSite(QStringLiteral("a.com"));
    EXPECT_EQ(list_.items(), QStringList{QStringLiteral("b.com")});
    list_.removeSite(QStringLiteral("c.com"));
    EXPECT_EQ(counted.count(), 1) << "nothing removed, nothing to notify";
    type(QStringLiteral("a.com"));
    EXPECT_EQ(list_.items(), (QStringList{QStringLiteral("b.com"), QStringLiteral("a.com")}));
}

struct RecordingActions : testing::IgnoredActions {
    struct Saved {
        QStringList blocked;
        QStringList allowed;
        bool sheetShown;
    };
    ProtectionModel* model = nullptr;
    std::vector<Saved> saved;

    void saveSites(const QStringList& blocked, const QStringList& allowed) override {
        saved.push_back({blocked, allowed, model->showSites()});
    }
};

class SitesSheetTest : public ::testing::Test {
  protected:
    SitesSheetTest() {
        actions_.model = &model_;
        // Two blocked sites, none allowed, and the sheet shown.
        model_.applyCaptureState(QStringLiteral("sitios"));
        sheet_.open();
    }

    ProtectionModel model_{[] { return ProtectionSnapshot{}; }};
    RecordingActions actions_;
    SitesSheet sheet_{model_, actions_};
};

TEST_F(SitesSheetTest, OpensOnTheSnapshotsListsWithCleanFields) {
    sheet_.blocked()->setDraft(QStringLiteral("no es un sitio"));
    sheet_.blocked()->addDraft();
    sheet_.allowed()->addDraft();
    sheet_.allowed()->setDraft(QStringLiteral("a medias"));
    sheet_.open();
    EXPECT_EQ(sheet_.blocked()->items(), model_.snapshot().customBlocked);
    EXPECT_EQ(sheet_.blocked()->count(), 2);
    EXPECT_EQ(sheet_.allowed()->items(), QStringList{});
    for (SiteListModel* list : {sheet_.blocked(), sheet_.allowed()}) {
        EXPECT_EQ(list->draft(), QString());
        EXPECT_FALSE(list->invalid());
    }
    EXPECT_FALSE(sheet_.hasChanges());
}

TEST_F(SitesSheetTest, ChangesAreTheListsDifferingInOrder) {
    const QString first = model_.snapshot().customBlocked.at(0);
    const QString second = model_.snapshot().customBlocked.at(1);
    auto add = [](SiteListModel* list, const QString& site) {
        list->setDraft(site);
        list->addDraft();
    };
    struct Row {
        const char* fault;
        std::function<void()> edit;
        bool changes;
    };
    const Row rows[] = {
        {"change without an edit", [] {}, false},
        {"duplicate counted", [&] { add(sheet_.blocked(), first); }, false},
        {"reordering ignored",
         [&] {
             sheet_.blocked()->removeSite(first);
             add(sheet_.blocked(), first);
         },
         true},
        {"undone edit counted",
         [&] {
             sheet_.blocked()->removeSite(first);
             sheet_.blocked()->removeSite(second);
             add(sheet_.blocked(), first);
             add(sheet_.blocked(), second);
         },
         false},
        {"allowed list ignored", [&] { add(sheet_.allowed(), QStringLiteral("escuela.edu")); },
         true},
        {"removal ignored", [&] { sheet_.blocked()->removeSite(second); }, true},
    };
    for (const Row& row : rows) {
        sheet_.open();
        QSignalSpy notified(&sheet_, &SitesSheet::hasChangesChanged);
        row.edit();
        EXPECT_EQ(sheet_.hasChanges(), row.changes) << row.fault;
        if (row.changes) {
            EXPECT_GT(notified.count(), 0) << row.fault << ": the button never heard of it";
        }
    }
}

TEST_F(SitesSheetTest, SaveClosesTheSheetThenHandsOverBothLists) {
    sheet_.blocked()->removeSite(model_.snapshot().customBlocked.at(0));
    sheet_.allowed()->setDraft(QStringLiteral("Escuela.edu"));
    sheet_.allowed()->addDraft();
    sheet_.save();
    EXPECT_FALSE(model_.showSites());
    ASSERT_EQ(actions_.saved.size(), 1u);
    EXPECT_EQ(actions_.saved[0].blocked, QStringList{model_.snapshot().customBlocked.at(1)});
    EXPECT_EQ(actions_.saved[0].allowed, QStringList{QStringLiteral("escuela.edu")});
    EXPECT_FALSE(actions_.saved[0].sheetShown) << "the sheet must be gone before saving";
}

TEST_F(SitesSheetTest, CancelClosesTheSheetWithoutSaving) {
    sheet_.blocked()->removeSite(model_.snapshot().customBlocked.at(0));
    sheet_.cancel();
    EXPECT_FALSE(model_.showSites());
    EXPECT_TRUE(actions_.saved.empty());
}

}  // namespace
}  // namespace amparo::ui
