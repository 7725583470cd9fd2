#include "app/core/block_watcher.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>

#include <cstdio>

#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::appendFile;
using testing::Scratch;
using testing::waitUntil;
using testing::writeFile;

QByteArray blockLine(const char* name) {
    return QByteArray("[2026-12-05T17:35:22Z] BLOQUEADO ") + name + '\n';
}

class BlockWatcherTest : public ::testing::Test {
  protected:
    BlockWatcher::OnBlock record() {
        return [this](const QString& name) { names << name; };
    }
    BlockWatcher::Clock clock() {
        return [this] { return now; };
    }

    Scratch scratch;
    const QString log = scratch.path("tranca.log");
    std::chrono::steady_clock::time_point now;
    QStringList names;
};

TEST_F(BlockWatcherTest, ReportsALineWrittenInTwoWritesOnceItsNewlineArrives) {
    writeFile(log, "[2026-12-05T17:30:00Z] arranque\n");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    appendFile(log, "[2026-12-05T17:35:22Z] BLOQUEADO sitio.exa");
    watcher.poll();
    EXPECT_TRUE(names.isEmpty());
    // No poll from here on: the file's own change event must bring it.
    appendFile(log, "mple\n");
    EXPECT_TRUE(waitUntil([&] { return !names.isEmpty(); }));
    watcher.poll();
    EXPECT_EQ(names, QStringList{"sitio.example"});
}

TEST_F(BlockWatcherTest, ReactsAtMostOncePerGap) {
    struct Case {
        const char* fault;
        std::chrono::seconds later;
        qsizetype reactions;
    };
    for (const Case& c : {Case{"each line of a burst reported", 0s, 1},
                          Case{"reacting again before the gap is over", 89s, 1},
                          Case{"silent once the gap is over", 90s, 2}}) {
        SCOPED_TRACE(c.fault);
        names.clear();
        writeFile(log, "");
        BlockWatcher watcher(log, 90s, record(), clock());
        ASSERT_TRUE(watcher.start());
        appendFile(log, blockLine("a.example") + blockLine("b.example") + blockLine("c.example"));
        watcher.poll();
        now += c.later;
        appendFile(log, blockLine("d.example"));
        watcher.poll();
        EXPECT_EQ(names.size(), c.reactions);
        EXPECT_EQ(names.value(0), "a.example");
    }
}

TEST_F(BlockWatcherTest, TakesTheWordAfterTheFirstMarker) {
    struct Case {
        const char* fault;
        QByteArray line;
        QStringList names;
    };
    const Case cases[] = {
        {"a marker with no name reported", "[t] BLOQUEADO \n", {}},
        {"a marker ending the line taken without its space", "[t] BLOQUEADO\n", {}},
        {"the marker matched in lower case", "[t] bloqueado sitio.example\n", {}},
        {"the name not cut at the next space",
         "[t] BLOQUEADO (filtro familiar) sitio.example\n",
         {"(filtro"}},
        {"every marker of a line reported",
         "[t] BLOQUEADO a.example BLOQUEADO b.example\n",
         {"a.example"}},
        {"invalid UTF-8 losing the report",
         "[t] BLOQUEADO caf\xe9.example\n",
         {QStringLiteral(u"caf\uFFFD.example")}},
    };
    writeFile(log, "");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        names.clear();
        appendFile(log, c.line);
        watcher.poll();
        EXPECT_EQ(names, c.names);
    }
}

TEST_F(BlockWatcherTest, IgnoresWhatWasWrittenBeforeStart) {
    writeFile(log, blockLine("antes.example") + "[t] BLOQUEADO a-medias.example");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    appendFile(log, "\n[t] sigue\n");
    watcher.poll();
    EXPECT_TRUE(names.isEmpty());
}

TEST_F(BlockWatcherTest, FollowsALogTruncatedInPlace) {
    // copytruncate: the daemon's appends start again at offset 0, and by the
    // next look they may already reach past where the watcher had read to.
    struct Case {
        const char* fault;
        int linesAfter;
    };
    const QByteArray before = QByteArray(4096, 'x') + '\n';
    for (const Case& c : {Case{"a shorter file not read from its start", 1},
                          Case{"a file grown back past the old position read from there",
                               static_cast<int>(before.size() / blockLine("a").size()) + 2}}) {
        SCOPED_TRACE(c.fault);
        names.clear();
        writeFile(log, before);
        BlockWatcher watcher(log, 0ms, record(), clock());
        ASSERT_TRUE(watcher.start());
        QByteArray after;
        QStringList expected;
        for (int i = 0; i < c.linesAfter; ++i) {
            expected << QStringLiteral("tras-%1.example").arg(i);
            after += blockLine(expected.last().toUtf8().constData());
        }
        writeFile(log, after);
        watcher.poll();
        appendFile(log, blockLine("luego.example"));
        watcher.poll();
        EXPECT_EQ(names, expected << "luego.example");
    }
}

TEST_F(BlockWatcherTest, FollowsRotationByRenameAfterReadingTheOldFileToItsEnd) {
    writeFile(log, "");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    appendFile(log, blockLine("antigua.example"));
    ASSERT_EQ(std::rename(QFile::encodeName(log), QFile::encodeName(log + ".1")), 0);
    writeFile(log, blockLine("nueva.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 2; }));
    // Only the new file's own watch can report this one.
    appendFile(log, blockLine("despues.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 3; }));
    EXPECT_EQ(names, (QStringList{"antigua.example", "nueva.example", "despues.example"}));
}

TEST_F(BlockWatcherTest, KeepsADeletedLogUntilANewOneAppears) {
    writeFile(log, "");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    QFile daemon(log);
    ASSERT_TRUE(daemon.open(QIODevice::WriteOnly | QIODevice::Append));
    ASSERT_TRUE(QFile::remove(log));
    watcher.poll();
    daemon.write(blockLine("borrado.example"));
    daemon.flush();
    EXPECT_TRUE(waitUntil([&] { return names.size() == 1; }));
    writeFile(log, blockLine("nuevo.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 2; }));
    EXPECT_EQ(names, (QStringList{"borrado.example", "nuevo.example"}));
}

TEST_F(BlockWatcherTest, StartFailsWhileTheLogIsMissingAndWorksOnceItExists) {
    BlockWatcher watcher(log, 0ms, record(), clock());
    EXPECT_FALSE(watcher.start());
    EXPECT_FALSE(watcher.isWatching());
    writeFile(log, "");
    ASSERT_TRUE(watcher.start());
    appendFile(log, blockLine("sitio.example"));
    EXPECT_TRUE(waitUntil([&] { return names.size() == 1; }));
}

TEST_F(BlockWatcherTest, RefusesAFifoOrADirectoryWithoutHanging) {
    const QString fifo = scratch.path("fifo");
    const QString directory = scratch.path("directory");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    ASSERT_TRUE(QDir().mkpath(directory));
    for (const QString& path : {fifo, directory}) {
        SCOPED_TRACE(path.toStdString());
        BlockWatcher watcher(path, 0ms, record(), clock());
        EXPECT_FALSE(watcher.start());
        EXPECT_FALSE(watcher.isWatching());
    }
}

TEST_F(BlockWatcherTest, DropsALineTooLongToBeTheDaemons) {
    writeFile(log, "");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    appendFile(log, QByteArray(70 * 1024, 'x'));
    watcher.poll();
    appendFile(log, " BLOQUEADO larga.example\n" + blockLine("corta.example"));
    watcher.poll();
    EXPECT_EQ(names, QStringList{"corta.example"});
}

TEST_F(BlockWatcherTest, ReadsAHugeAppendASliceAtATime) {
    writeFile(log, "");
    BlockWatcher watcher(log, 0ms, record(), clock());
    ASSERT_TRUE(watcher.start());
    appendFile(log, (QByteArray(99, 'x') + '\n').repeated(30000) + blockLine("final.example"));
    watcher.poll();
    EXPECT_TRUE(names.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !names.isEmpty(); }));
}

TEST_F(BlockWatcherTest, StopFromTheCallbackEndsTheReadAndStaysStopped) {
    writeFile(log, "");
    BlockWatcher* self = nullptr;
    BlockWatcher watcher(
        log, 0ms,
        [&](const QString& name) {
            names << name;
            self->stop();
        },
        clock());
    self = &watcher;
    ASSERT_TRUE(watcher.start());
    appendFile(log, blockLine("uno.example") + blockLine("dos.example"));
    watcher.poll();
    watcher.stop();
    appendFile(log, blockLine("tres.example"));
    watcher.poll();
    EXPECT_FALSE(watcher.isWatching());
    EXPECT_EQ(names, QStringList{"uno.example"});
}

}  // namespace
}  // namespace amparo
