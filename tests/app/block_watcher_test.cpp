#include "app/core/block_watcher.h"

#include <cstdio>

#include "app/core/block_reaction.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::appendFile;
using testing::waitUntil;
using testing::writeFile;

QByteArray blockLine(const QString& name) {
    return "[2026-12-05T17:35:22Z] BLOQUEADO " + name.toUtf8() + '\n';
}

class BlockWatcherTest : public ::testing::Test {
  protected:
    // A watcher started on the log, which first holds these bytes; the names
    // it reports go to names.
    std::unique_ptr<BlockWatcher> watch(const QByteArray& initial = {},
                                        std::chrono::milliseconds gap = 0ms) {
        names.clear();
        writeFile(log, initial);
        auto watcher = std::make_unique<BlockWatcher>(
            log, gap, [this](const QString& name) { names << name; }, [this] { return now; });
        EXPECT_TRUE(watcher->start());
        return watcher;
    }
    // Appends, then polls.
    void write(BlockWatcher& watcher, const QByteArray& bytes) {
        appendFile(log, bytes);
        watcher.poll();
    }

    testing::Scratch scratch;
    const QString log = scratch.path("tranca.log");
    std::chrono::steady_clock::time_point now;
    QStringList names;
};

TEST_F(BlockWatcherTest, ReactsAtMostOncePerGap) {
    // After a burst, `more` single blocks, each `later` after the one before.
    for (const auto& [fault, later, more, reactions] :
         {std::tuple{"each line of a burst reported", 0s, 1, 1},
          std::tuple{"reacting again before the gap is over", 89s, 1, 1},
          std::tuple{"silent once the gap is over", 90s, 1, 2},
          std::tuple{"each block pushing the gap on", 60s, 2, 2}}) {
        SCOPED_TRACE(fault);
        const auto watcher = watch({}, kBlockPageGap);
        write(*watcher, blockLine("a.example") + blockLine("b.example") + blockLine("c.example"));
        for (int block = 0; block < more; ++block) {
            now += later;
            write(*watcher, blockLine("d.example"));
        }
        EXPECT_EQ(names.size(), reactions);
        EXPECT_EQ(names.value(0), "a.example");
    }
}

TEST_F(BlockWatcherTest, TakesTheWordAfterTheMarkerAtTheLineStart) {
    const std::pair<const char*, QByteArray> cases[] = {
        // {the name it must report ("": none), the line}
        {"", QByteArray(70 * 1024, 'x') + " BLOQUEADO l\n"},  // too long to be the daemon's
        {"", "[t] BLOQUEADO \n"},
        {"", "[t] BLOQUEADO\n"},
        {"", "[t] bloqueado sitio.example\n"},
        {"(filtro", "[t] BLOQUEADO (filtro familiar) x\n"},
        {"a.example", "[t] BLOQUEADO a.example BLOQUEADO b\n"},
        {"", "[t] SIN RESPUESTA de los upstreams para a BLOQUEADO b.example\n"},
        {"caf\uFFFD.example", "[t] BLOQUEADO caf\xe9.example\n"},  // invalid UTF-8
    };
    const auto watcher = watch();
    for (const auto& [name, line] : cases) {
        SCOPED_TRACE(line.left(40).toStdString());
        names.clear();
        // In two writes, the first one without the line's end.
        write(*watcher, line.chopped(8));
        write(*watcher, line.last(8));
        EXPECT_EQ(names, QString::fromUtf8(name).split(u'|', Qt::SkipEmptyParts));
    }
}

TEST_F(BlockWatcherTest, FollowsALogTruncatedInPlace) {
    // copytruncate: the daemon's appends start again at offset 0, and by the
    // next look they may already reach past where the watcher had read to.
    const QByteArray before = QByteArray(4096, 'x') + '\n';
    for (const int lines : {1, int(before.size() / blockLine("a").size()) + 2}) {
        SCOPED_TRACE(lines);
        const auto watcher = watch(before);
        QByteArray after;
        QStringList expected;
        for (int i = 0; i < lines; ++i) {
            expected << QStringLiteral("tras-%1.example").arg(i);
            after += blockLine(expected.last());
        }
        writeFile(log, after);
        watcher->poll();
        write(*watcher, blockLine("luego.example"));
        EXPECT_EQ(names, expected << "luego.example");
    }
}

// Change events, not polls, bring each line. Rotation renames the log; a
// deleted log is still written through the daemon's open descriptor.
TEST_F(BlockWatcherTest, ReportsNewLinesFollowingRotationAndDeletion) {
    const auto watcher = watch(blockLine("antes.example") + "[t] BLOQUEADO a-medias.example");
    appendFile(log, "\n[t] sigue\n" + blockLine("antigua.example"));
    ASSERT_EQ(std::rename(QFile::encodeName(log), QFile::encodeName(log + ".1")), 0);
    writeFile(log, blockLine("nueva.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 2; }));
    // The directory is quiet now: only the new file's own watch can report it.
    appendFile(log, blockLine("despues.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 3; }));
    QFile daemon(log);
    ASSERT_TRUE(daemon.open(QIODevice::WriteOnly | QIODevice::Append));
    ASSERT_TRUE(QFile::remove(log));
    watcher->poll();
    daemon.write(blockLine("borrado.example"));
    daemon.flush();
    EXPECT_TRUE(waitUntil([&] { return names.size() == 4; }));
    writeFile(log, blockLine("nuevo.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 5; }));
    EXPECT_EQ(names, (QStringList{"antigua.example", "nueva.example", "despues.example",
                                  "borrado.example", "nuevo.example"}));
}

TEST_F(BlockWatcherTest, RefusesAMissingLogAFifoOrADirectoryWithoutHanging) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(scratch.path("fifo")).constData(), 0644), 0);
    ASSERT_TRUE(QDir().mkpath(scratch.path("directorio")));
    for (const char* name : {"no-existe", "fifo", "directorio"}) {
        BlockWatcher watcher(scratch.path(name), 0ms, {});
        EXPECT_FALSE(watcher.start()) << name;
        EXPECT_FALSE(watcher.isWatching()) << name;
    }
}

TEST_F(BlockWatcherTest, ReadsAHugeAppendASliceAtATime) {
    const auto watcher = watch();
    write(*watcher, (QByteArray(99, 'x') + '\n').repeated(30000) + blockLine("final.example"));
    EXPECT_TRUE(names.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !names.isEmpty(); }));
}

TEST_F(BlockWatcherTest, StopFromTheCallbackEndsTheReadAndStaysStopped) {
    writeFile(log, "");
    BlockWatcher* self = nullptr;
    BlockWatcher watcher(log, 0ms, [&](const QString& name) {
        names << name;
        self->stop();
    });
    self = &watcher;
    ASSERT_TRUE(watcher.start());
    write(watcher, blockLine("uno.example") + blockLine("dos.example"));
    write(watcher, blockLine("tres.example"));
    EXPECT_FALSE(watcher.isWatching());
    EXPECT_EQ(names, QStringList{"uno.example"});
}

// A first installation creates the log after Amparo started: the watcher
// that found no log must start once it exists, not wait for a restart.
TEST_F(BlockWatcherTest, ReactionFollowsALogThatAppearedLaterAndOpensTheChosenPage) {
    ProtectionSnapshot installed = testing::snapshotOf(Protection::active);
    installed.redirectLine = QStringLiteral("local");
    ProtectionModel model(gathererOf([installed] { return installed; }));
    model.setOpensHelpPage(true);
    testing::RecordingDesktop desktop;
    BlockReaction reaction(model, desktop, log);
    ASSERT_TRUE(testing::refreshed(model));
    EXPECT_FALSE(reaction.isWatching()) << "no log yet";
    writeFile(log, "[2026-12-05T17:35:00Z] trancad iniciando\n");
    ASSERT_TRUE(testing::refreshed(model));
    ASSERT_TRUE(reaction.isWatching());

    appendFile(log, blockLine("sitio.example"));
    ASSERT_TRUE(waitUntil([&] { return !desktop.opened.isEmpty(); }));
    EXPECT_EQ(desktop.opened, QStringList{"http://127.0.0.1/"});
    model.setOpensHelpPage(false);
    reaction.update();
    EXPECT_FALSE(reaction.isWatching()) << "no page on block: no watching";
}

}  // namespace
}  // namespace amparo
