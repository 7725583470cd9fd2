// The long-running daemon: start-up order, the event loop, the timers, and the
// one orderly way out.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "daemon/config.h"
#include "daemon/dns/dns_server.h"
#include "daemon/dns/dns_tcp_server.h"
#include "daemon/dns/query_pipeline.h"
#include "daemon/lists/lists.h"
#include "daemon/lists/safesearch.h"
#include "daemon/notices/notice_events.h"
#include "daemon/notices/notice_sender.h"
#include "daemon/page/blockpage.h"
#include "daemon/page/redirect.h"
#include "daemon/system/selfcheck.h"
#include "daemon/upstream/upstream.h"
#include "daemon/wait/wait_keeper.h"
#include "daemon/wait/wait_socket.h"
#include "platform/instance_lock.h"

namespace tranca {

// Intervals of the daemon's timers; the program uses the defaults, tests
// shorten them.
struct DaemonTimings {
    std::chrono::milliseconds maintenanceInterval{60'000};
    std::chrono::milliseconds selfCheckFirst{1'000};
    std::chrono::milliseconds selfCheckInterval{15'000};
    std::chrono::milliseconds selfCheckTimeout{4'000};
    std::chrono::milliseconds blockPageRetry{5'000};
    std::chrono::milliseconds blockPageRequestTimeout{10'000};
    std::chrono::milliseconds safeSearchFirst{3'000};
    std::chrono::milliseconds listenerRetry{2'000};
    // The wait before loosening is counted and stored this often (divided
    // by the test machines' time scale).
    std::chrono::milliseconds waitTick{15'000};
};

// The log is emptied past this size, looked at every second: logrotate runs
// only daily, and a flood of lines must not fill the disk in between.
inline constexpr std::uint64_t kLogSizeCap = 32ULL << 20;

// The SafeSearch refresh runs on every this many maintenance ticks.
inline constexpr std::size_t kSafeSearchEveryTicks = 5;
// The answer cache's figures go to the log once an hour.
inline constexpr std::size_t kCacheStatsEveryTicks = 60;

class Daemon {
  public:
    using ExitFn = std::function<void(int status)>;

    explicit Daemon(DaemonConfig config, DaemonTimings timings = {}, ExitFn exitProcess = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Start-up steps from the start-up line up to the timers and signals. The
    // work runs once the loop does.
    void start();

    // Joins the pool on the calling thread until the loop is stopped (by
    // terminate, which exits the process, or by stopLoop in tests).
    void runLoop();
    void stopLoop();

    // Runs the stop routine on the network queue, logs the exit line and exits.
    [[noreturn]] void terminate(int status, std::string_view reason);

    void maintenanceTick();

    const DaemonConfig& config() const { return config_; }
    const Blocklist& blocklist() const { return blocklist_; }
    asio::io_context& io() { return io_; }
    std::size_t tickCount() const { return tickCount_.load(); }
    // The block destination, created on first use.
    Redirect& sharedRedirect();
    const BlockPageServer* blockPageServer() const { return blockPage_.get(); }

  private:
    void armMaintenance();
    void armBlockLogFlush();
    void waitMaintenance();
    void armSelfCheck(std::chrono::milliseconds delay);
    void armSignals();
    void startDns();
    void startWait();
    void startNotices();
    void armWaitTick(std::chrono::milliseconds interval);

    DaemonConfig config_;
    DaemonTimings timings_;
    ExitFn exitProcess_;
    platform::InstanceClaim instance_;
    Blocklist blocklist_;
    SelfCheck selfCheck_;

    // The global concurrent queue: one io_context, run by a small pool.
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> pool_;

    // "tranca.red": network-settings work and the stop routine, one at a time
    // on a thread of its own so a slow settings store never holds up queries.
    asio::io_context networkQueue_;
    asio::executor_work_guard<asio::io_context::executor_type> networkWork_;
    std::thread networkThread_;

    std::unique_ptr<UpstreamForwarder> forwarder_;
    std::unique_ptr<AnswerCache> cache_;
    std::unique_ptr<QueryPipeline> pipeline_;
    std::unique_ptr<DnsServer> dnsServer_;
    std::shared_ptr<DnsTcpServer> tcpServer_;
    asio::steady_timer safeSearchTimer_;

    asio::steady_timer maintenanceTimer_;
    asio::steady_timer blockLogTimer_;
    asio::steady_timer selfCheckTimer_;
    std::unique_ptr<asio::signal_set> signals_;
    std::atomic<std::size_t> tickCount_{0};
    std::atomic_flag terminating_ = ATOMIC_FLAG_INIT;
    std::once_flag redirectOnce_;
    std::unique_ptr<Redirect> redirect_;
    std::shared_ptr<BlockPageServer> blockPage_;
    std::unique_ptr<WaitKeeper> waitKeeper_;
    std::shared_ptr<WaitSocket> waitSocket_;
    asio::steady_timer waitTimer_;
    std::unique_ptr<NoticeSender> noticeSender_;
    std::unique_ptr<NoticeEvents> noticeEvents_;
};

// The whole program: argument dispatch, then tool mode or the daemon.
int trancadMain(int argc, char** argv, char** envp);

}  // namespace tranca
