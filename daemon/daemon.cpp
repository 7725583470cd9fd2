#include "daemon/daemon.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <future>

#include "daemon/cli/cli.h"
#include "daemon/log.h"
#include "daemon/system/netconfig.h"
#include "platform/detached_run.h"
#include "platform/paths.h"

namespace tranca {

namespace {

// This machine's settings, with its packet filter for the DNS lock.
ProtectionSettings protectionSettings() {
    ProtectionSettings settings;
    settings.packetFilter = platform::systemPacketFilter;
    return settings;
}

[[noreturn]] void exitNow(int status) {
    std::fflush(stdout);
    // Other threads are still running: skip static destructors and atexit
    // handlers, which could race with them.
    ::_exit(status);
}

std::size_t poolSize() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores, 2, 4);
}

// UDP readers: half the cores, so the programs asking (browsers, a load
// tool) keep the other half; one reader on a two-core machine beats two that
// take turns with the clients.
std::size_t readerCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores / 2, 1, 4);
}

}  // namespace

Daemon::Daemon(DaemonConfig config, DaemonTimings timings, ExitFn exitProcess)
    : config_(std::move(config)),
      timings_(timings),
      exitProcess_(exitProcess ? std::move(exitProcess) : ExitFn(exitNow)),
      blocklist_(config_.blocklistPath, config_.customPath, config_.allowPath),
      selfCheck_(config_, protectionSettings()),
      work_(asio::make_work_guard(io_)),
      networkWork_(asio::make_work_guard(networkQueue_)),
      safeSearchTimer_(io_),
      maintenanceTimer_(io_),
      blockLogTimer_(io_),
      selfCheckTimer_(io_),
      waitTimer_(io_) {}

Daemon::~Daemon() {
    stopLoop();
    for (std::thread& thread : pool_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    if (networkThread_.joinable()) {
        networkThread_.join();
    }
}

void Daemon::start() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // First of all: a SIGTERM during start-up (a service stopped right after
    // it started) must still end through the stop routine, not leave the
    // machine pointed at a dead 127.0.0.1. The handler runs once the loop does.
    armSignals();
    logLine("trancad iniciando (dir: " + config_.dataDirectory +
            ", puerto: " + std::to_string(config_.dnsPort) +
            (managesSystemDNS(config_)
                 ? ""
                 : ", sin tocar el DNS del " + std::string(paths::kCurrent.machine)) +
            ")");
    // Sockets sharing the port would split the queries between two daemons,
    // one of them possibly with other lists. The claim goes before anything
    // is touched: this one leaves the machine as the other keeps it. Port 0
    // asks for a port of its own, which nobody shares: no claim to make.
    const std::string where = config_.listenHost + ":" + std::to_string(config_.dnsPort);
    if (config_.dnsPort != 0 && !instance_.claim("trancad " + where)) {
        logLine("Ya hay otro trancad en " + where + ": este no se inicia");
        exitProcess_(1);
        exitNow(1);
    }
    blocklist_.reload();
    startDns();
    sharedRedirect().reload();
    blockPage_ = BlockPageServer::create(io_, config_, sharedRedirect(),
                                         {.retryDelay = timings_.blockPageRetry,
                                          .requestTimeout = timings_.blockPageRequestTimeout});
    blockPage_->startBlockPageServer();
    safeSearchTimer_.expires_after(timings_.safeSearchFirst);
    safeSearchTimer_.async_wait([](const std::error_code& error) {
        if (!error) {
            SafeSearch::shared().refresh();
        }
    });
    tickCount_ = 0;
    armMaintenance();
    armBlockLogFlush();
    networkThread_ = std::thread([this] { networkQueue_.run(); });
    selfCheck_.attachNetworkQueue(networkQueue_);
    selfCheck_.attachLoop(
        io_, [this](int status, std::string_view reason) { terminate(status, reason); },
        timings_.selfCheckTimeout);
    armSelfCheck(timings_.selfCheckFirst);
    startWait();
}

void Daemon::runLoop() {
    const std::size_t extra = poolSize();
    for (std::size_t i = 0; i < extra; ++i) {
        pool_.emplace_back([this] { io_.run(); });
    }
    io_.run();
}

void Daemon::stopLoop() {
    work_.reset();
    networkWork_.reset();
    io_.stop();
    networkQueue_.stop();
}

void Daemon::armMaintenance() {
    maintenanceTimer_.expires_after(timings_.maintenanceInterval);
    waitMaintenance();
}

void Daemon::armBlockLogFlush() {
    blockLogTimer_.expires_after(std::chrono::seconds(1));
    blockLogTimer_.async_wait([this](const std::error_code& error) {
        if (!error) {
            pipeline_->flushBlockLog();
            boundLogFile(STDOUT_FILENO, kLogSizeCap);
            armBlockLogFlush();
        }
    });
}

void Daemon::waitMaintenance() {
    maintenanceTimer_.async_wait([this](const std::error_code& error) {
        if (error) {
            return;
        }
        maintenanceTick();
        // Fixed rate, and never two ticks at once: the next wait starts only
        // after this tick is done.
        maintenanceTimer_.expires_at(maintenanceTimer_.expiry() + timings_.maintenanceInterval);
        waitMaintenance();
    });
}

void Daemon::maintenanceTick() {
    blocklist_.reload();
    sharedRedirect().reload();
    if (++tickCount_ % kSafeSearchEveryTicks == 0) {
        SafeSearch::shared().refresh();
    }
    if (cache_ && tickCount_ % kCacheStatsEveryTicks == 0) {
        logLine(cacheStatsText(cache_->stats()));
    }
    if (noticeEvents_) {
        noticeEvents_->tally(selfCheck_.answering());
    }
}

void Daemon::startDns() {
    // Forwards and TCP clients share the descriptors left after a reserve
    // for the listeners, the self-check and files.
    const DescriptorBudget budget = descriptorBudgetFor(raiseDescriptorLimit());
    forwarder_ = std::make_unique<UpstreamForwarder>(io_, UpstreamEndpoints::fromConfig(config_));
    if (config_.answerCache) {
        cache_ = std::make_unique<AnswerCache>();
    }
    pipeline_ = std::make_unique<QueryPipeline>(config_, blocklist_, SafeSearch::shared(),
                                                *forwarder_, budget.forwards, cache_.get());
    dnsServer_ = std::make_unique<DnsServer>(io_, config_, *pipeline_, readerCount(),
                                             timings_.listenerRetry);
    dnsServer_->startDNSListener();
    tcpServer_ = DnsTcpServer::create(io_, config_, *pipeline_,
                                      TcpLimits{.maxConnections = budget.tcpConnections},
                                      timings_.listenerRetry);
    tcpServer_->start();
}

void Daemon::startWait() {
    // Only the daemon that guards the machine holds the wait (a demo or a
    // test run without the socket's path set leaves it alone).
    if (!managesSystemDNS(config_) &&
        config_.environment.find("TRANCAD_ESPERA_SOCKET") == config_.environment.end()) {
        return;
    }
    WaitKeeper::Starter starter = [program = platform::ownProgramPath()](std::uint64_t id,
                                                                         std::string& error) {
        const std::string number = std::to_string(id);
        return platform::startDetached({program, "--cumplir", number}, "amparo-espera-" + number,
                                       std::string(paths::kCurrent.logFile), error);
    };
    waitKeeper_ = std::make_unique<WaitKeeper>(config_.waitFile, std::move(starter), WaitClock{},
                                               config_.waitScale);
    startNotices();
    waitKeeper_->onCancelled([this](std::size_t count) { noticeEvents_->changesCancelled(count); });
    waitSocket_ =
        WaitSocket::create(io_, *waitKeeper_, config_.waitSocket,
                           [places = noticePlaces(config_)] { return noticesReply(places); });
    waitSocket_->start();
    armWaitTick(std::max<std::chrono::milliseconds>(timings_.waitTick / config_.waitScale,
                                                    std::chrono::milliseconds(250)));
}

void Daemon::startNotices() {
    const NoticePlaces places = noticePlaces(config_);
    noticeSender_ = std::make_unique<NoticeSender>(
        places, senderTimingsFor(config_.waitScale),
        std::max<std::chrono::milliseconds>(timings_.waitTick / config_.waitScale,
                                            std::chrono::milliseconds(250)));
    noticeEvents_ = std::make_unique<NoticeEvents>(config_.dataDirectory, places,
                                                   [this] { noticeSender_->wake(); });
    noticeEvents_->daemonStarted();
    noticeEvents_->tally(false);
    selfCheck_.onPutBack([this](std::string_view what) { noticeEvents_->putBack(what); });
}

void Daemon::armWaitTick(std::chrono::milliseconds interval) {
    waitTimer_.expires_after(interval);
    waitTimer_.async_wait([this, interval](const std::error_code& error) {
        if (!error) {
            waitKeeper_->tick();
            armWaitTick(interval);
        }
    });
}

Redirect& Daemon::sharedRedirect() {
    std::call_once(redirectOnce_, [this] {
        redirect_ = std::make_unique<Redirect>(config_.redirectPath, config_.defaultRedirect);
    });
    return *redirect_;
}

void Daemon::armSelfCheck(std::chrono::milliseconds delay) {
    selfCheckTimer_.expires_after(delay);
    selfCheckTimer_.async_wait([this](const std::error_code& error) {
        if (error) {
            return;
        }
        selfCheck_.runSelfCheck();
        armSelfCheck(timings_.selfCheckInterval);
    });
}

void Daemon::armSignals() {
    // Ignored first so that, from here on, the signals end the process only
    // through terminate and its stop routine.
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    signals_ = std::make_unique<asio::signal_set>(io_);
    signals_->add(SIGTERM);
    signals_->add(SIGINT);
    signals_->async_wait([this](const std::error_code& error, int) {
        if (!error) {
            terminate(0, "el servicio se detiene");
        }
    });
}

void Daemon::terminate(int status, std::string_view reason) {
    if (terminating_.test_and_set()) {
        // Someone else is already on the way out; the process ends there.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    std::promise<void> stopped;
    asio::post(networkQueue_, [&] {
        selfCheck_.stopProtection(reason);
        stopped.set_value();
    });
    stopped.get_future().wait();
    // The notices this stop leaves go on without the daemon: a detached
    // sender outlives it (not while the machine goes down: the next start
    // sends them).
    const bool goingDown = noticeEvents_ && platform::systemGoingDown();
    if (noticeEvents_ && noticeEvents_->daemonStopping(reason, goingDown) && !goingDown) {
        std::string error;
        if (!platform::startDetached({platform::ownProgramPath(), "--avisos", "enviar"},
                                     "amparo-avisos", std::string(paths::kCurrent.logFile),
                                     error)) {
            logLine("Los avisos pendientes se envían al volver el filtro: " + error);
        }
    }
    logLine("trancad termina (" + std::string(reason) + ")");
    exitProcess_(status);
    // An injected exit (tests) may return; the daemon must not.
    exitNow(status);
}

int trancadMain(int argc, char** argv, char** envp) {
    std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    DaemonConfig config = makeBaseConfig(captureEnvironment(envp), std::move(arguments));
    switch (classifyArguments(config.arguments)) {
        case ArgumentsKind::tool:
            return runCommand(config, config.arguments[0],
                              config.arguments.size() > 1 ? config.arguments[1] : "");
        case ArgumentsKind::usage:
            printUsage();
            return 64;
        case ArgumentsKind::daemon:
            break;
    }
    completeDaemonConfig(config);
    // The daemon lives until terminate exits the process.
    static Daemon daemon(std::move(config));
    daemon.start();
    daemon.runLoop();
    return 0;
}

}  // namespace tranca
