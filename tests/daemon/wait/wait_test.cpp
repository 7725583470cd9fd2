// The wait before loosening: what a site-lists save applies at once and what
// it leaves to wait, the stored file read back or refused whole, and the
// countdown by the daemon's own running time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "daemon/lists/list_file.h"
#include "daemon/wait/pending_changes.h"
#include "daemon/wait/wait_keeper.h"
#include "daemon/wait/wait_socket.h"
#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;
using testing::ScratchDir;

TEST(SitesSave, BlocksAtOnceAndWaitsToUnblockOrAllow) {
    struct Row {
        std::string_view oldCustom, oldAllow, newCustom, newAllow;
        std::string_view customNow, allowNow;
        std::vector<std::string> unblock, allow;
    };
    const Row rows[] = {
        // Only tightening: all of it now.
        {"a.example\n",
         "c.example\n",
         "a.example\nnuevo.example\n",
         "",
         "a.example\nnuevo.example\n",
         "",
         {},
         {}},
        // Mixed: the new block and the removed permission now; the site taken
        // off the blocked list stays blocked, the new permission waits.
        {"# mios\na.example\n0.0.0.0 b.example\n",
         "c.example\n",
         "# mios\nb.example\nn.example",
         "D.example\n",
         "# mios\nb.example\nn.example\na.example\n",
         "",
         {"a.example"},
         {"d.example"}},
        // A hosts-style line and a different spelling are the same site.
        {"0.0.0.0 X.example\n", "", "x.example.\n", "", "x.example.\n", "", {}, {}},
    };
    for (const Row& row : rows) {
        const SitesSplit split =
            splitSitesSave(row.oldCustom, row.oldAllow, row.newCustom, row.newAllow);
        EXPECT_EQ(split.customNow, row.customNow) << row.newCustom;
        EXPECT_EQ(split.allowNow, row.allowNow) << row.newAllow;
        EXPECT_EQ(split.unblock, row.unblock) << row.newCustom;
        EXPECT_EQ(split.allow, row.allow) << row.newAllow;
        // Once due, the lists are what the save asked for.
        EXPECT_EQ(parseListText(customWithout(split.customNow, split.unblock)).size(),
                  parseListText(row.newCustom).size());
        EXPECT_EQ(parseListText(allowWith(split.allowNow, split.allow)).size(),
                  parseListText(row.newAllow).size());
    }
}

PendingChange change(std::uint64_t id, PendingAction action, std::int64_t remainingMs) {
    PendingChange made;
    made.id = id;
    made.action = action;
    made.remainingMs = remainingMs;
    made.scriptDirectory = "/usr/lib/amparo";
    return made;
}

WaitState sample() {
    WaitState state{.waitSeconds = 900, .nextId = 4, .changes = {}};
    state.changes.push_back(change(2, PendingAction::deactivate, 61'000));
    state.changes[0].failure = "No se pudo detener tranca.service:\nfallo";
    state.changes.push_back(change(3, PendingAction::sites, 0));
    state.changes[1].unblock = {"a.example"};
    state.changes[1].allow = {"b.example", "c.example"};
    return state;
}

TEST(WaitStateFile, ReadsBackWhatItWroteAndRefusesAnythingNotUnderstoodWhole) {
    WaitState written = sample();
    const auto read = parseWaitState(waitStateText(written));
    ASSERT_TRUE(read.has_value());
    written.changes[0].failure = "No se pudo detener tranca.service: fallo";  // one line
    EXPECT_EQ(*read, written);

    const std::string good = waitStateText(sample());
    const std::pair<std::string, std::string> edits[] = {
        {"espera 900", "espera 899"},                  // not a choice offered
        {"espera 900", "espera -900"},                 //
        {"siguiente 4", "siguiente 3"},                // an id would be given twice
        {"cambio 3 sitios", "cambio 2 sitios"},        // two changes with one id
        {"cambio 3 sitios", "cambio 3 apagar"},        // unknown action
        {" /usr/lib/amparo\nquitar", " lib\nquitar"},  // a relative script folder
        {"quitar 3 a.example", "quitar 3 a example"},  //
        {"permitir 3 b", "permitir 9 b"},              // a change that is not there
        {"quitar 3", "nuevaespera 3 0\nquitar 3"},     // a wait on a sites change
        {"espera 900\n", ""},                          // no wait at all
        {"cambio 2", "cambio 2 desactivar\ncambio 2"},
    };
    for (const auto& [from, to] : edits) {
        std::string text = good;
        ASSERT_NE(text.find(from), std::string::npos) << from;
        text.replace(text.find(from), from.size(), to);
        EXPECT_FALSE(parseWaitState(text).has_value()) << to;
    }
}

TEST(WaitStateFile, TheSameChangeAskedTwiceIsKeptOnce) {
    WaitState state = sample();
    PendingChange shorter = change(0, PendingAction::shortenWait, 900'000);
    EXPECT_EQ(enqueue(state, change(0, PendingAction::deactivate, 900'000)), 2u);
    shorter.newWaitSeconds = 300;
    EXPECT_EQ(enqueue(state, shorter), 4u);
    shorter.newWaitSeconds = 0;
    EXPECT_EQ(enqueue(state, shorter), 5u);
    EXPECT_EQ(state.changes.size(), 4u);
}

// A keeper over a file in a scratch folder, its steady clock moved by hand.
struct Countdown {
    ScratchDir dir;
    std::chrono::steady_clock::time_point now{};
    std::vector<std::uint64_t> started;
    bool startWorks = true;

    std::unique_ptr<WaitKeeper> keeper(int scale = 1) {
        return std::make_unique<WaitKeeper>((dir / "espera.txt").string(),
                                            [this](std::uint64_t id, std::string& error) {
                                                started.push_back(id);
                                                error = "systemd-run no respondió";
                                                return startWorks;
                                            },
                                            WaitClock{[this] { return now; }}, scale);
    }
    void store(const WaitState& state) {
        std::string error;
        ASSERT_TRUE(WaitFile((dir / "espera.txt").string())
                        .update(
                            [&](WaitState& stored) {
                                stored = state;
                                return true;
                            },
                            error))
            << error;
    }
    std::int64_t remainingMs(std::uint64_t id) {
        std::string error;
        const auto state = WaitFile((dir / "espera.txt").string()).read(error);
        for (const PendingChange& change : state->changes) {
            if (change.id == id) {
                return change.remainingMs;
            }
        }
        return -1;
    }
};

TEST(WaitCountdown, OnlyTheDaemonsRunningTimeCounts) {
    Countdown test;
    WaitState state{.waitSeconds = 300, .nextId = 2, .changes = {}};
    state.changes.push_back(change(1, PendingAction::deactivate, 300'000));
    test.store(state);
    auto keeper = test.keeper();
    // Time before the first tick (a change recorded between two) is not
    // counted against the wait: it can only get longer, never shorter.
    test.now += 100s;
    keeper->tick();
    EXPECT_EQ(test.remainingMs(1), 300'000);
    test.now += 120s;
    keeper->tick();
    EXPECT_EQ(test.remainingMs(1), 180'000);
    EXPECT_NE(keeper->listReply().find("pendiente 1 desactivar 180 -\n"), std::string::npos);

    // A restart half-way: the new daemon resumes from the file, and the time
    // it was stopped (or the machine off) does not count.
    keeper = test.keeper();
    test.now += 24h;
    keeper->tick();
    EXPECT_EQ(test.remainingMs(1), 180'000);
    EXPECT_TRUE(test.started.empty());
    test.now += 179s;
    keeper->tick();
    EXPECT_TRUE(test.started.empty());
    test.now += 1s;
    keeper->tick();
    EXPECT_EQ(test.started, std::vector<std::uint64_t>{1});
    // Still in the file until the job that carries it out takes it away:
    // started again at each tick, so a failed or killed run is retried.
    keeper->tick();
    EXPECT_EQ(test.started.size(), 2u);
    EXPECT_EQ(test.remainingMs(1), 0);
}

// Clients and ticks at once, as on the daemon's pool (run under TSan too).
TEST(WaitSocketTest, AnswersEveryClientWhileTheCountdownTicks) {
    Countdown test;
    test.dir.write("espera.txt", "espera 300\nsiguiente 2\ncambio 1 desactivar 300000 0 /x\n");
    auto keeper = test.keeper();
    asio::io_context io;
    const std::string path = (test.dir / "run" / "espera.sock").string();
    auto socket =
        WaitSocket::create(io, *keeper, path, {}, {.maxConnections = 4, .deadline = 500ms});
    ASSERT_TRUE(socket->start());
    auto work = asio::make_work_guard(io);
    std::vector<std::thread> pool;
    for (int i = 0; i < 2; ++i) {
        pool.emplace_back([&] { io.run(); });
    }
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            for (int round = 0; round < 20; ++round) {
                asio::local::stream_protocol::socket client(io);
                std::error_code error;
                client.connect(path, error);
                const std::string ask = i == 0 && round == 19 ? "cancelar\n" : "lista\n";
                asio::write(client, asio::buffer(ask), error);
                std::string reply;
                asio::read(client, asio::dynamic_buffer(reply), error);
                answered += reply.ends_with("fin\n") ? 1 : 0;
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        keeper->tick();
    }
    for (std::thread& client : clients) {
        client.join();
    }
    work.reset();
    io.stop();
    for (std::thread& thread : pool) {
        thread.join();
    }
    // A newcomer may close the oldest of more than four at once; most get through.
    EXPECT_GE(answered.load(), 60);
    EXPECT_EQ(keeper->listReply(), "espera 300\nfin\n");
}

}  // namespace
}  // namespace tranca
