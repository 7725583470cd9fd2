// Cost of the per-query work: reading the query, writing the local answer, and the whole decision
// with a 1M-name block list.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "daemon/dns/query_pipeline.h"

namespace {

using namespace tranca;

DnsMessage makeQuery(std::string_view name, std::uint16_t qtype = 1) {
    DnsMessage out = {std::byte{0x12}, std::byte{0x34}, std::byte{1}, std::byte{0},
                      std::byte{0},    std::byte{1},    std::byte{0}, std::byte{0},
                      std::byte{0},    std::byte{0},    std::byte{0}, std::byte{0}};
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        dot = dot == std::string_view::npos ? name.size() : dot;
        out.push_back(std::byte{static_cast<std::uint8_t>(dot - start)});
        for (std::size_t i = start; i < dot; ++i) {
            out.push_back(std::byte{static_cast<std::uint8_t>(name[i])});
        }
        start = dot + 1;
    }
    for (const int b : {0, 0, static_cast<int>(qtype), 0, 1}) {
        out.push_back(std::byte{static_cast<std::uint8_t>(b)});
    }
    return out;
}

void BM_parseQuery(benchmark::State& state) {
    const DnsMessage bytes = makeQuery("www.some-rather-long-name.example.com");
    Query query;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseQueryInto(bytes, query));
    }
}
BENCHMARK(BM_parseQuery);

void BM_writeReply(benchmark::State& state) {
    const DnsMessage bytes = makeQuery("www.some-rather-long-name.example.com");
    const auto query = parseQuery(bytes);
    const Decision blocked{.kind = Decision::Kind::blocked, .address = {127, 0, 0, 1}, .ttl = 60};
    std::vector<std::byte> out(kReplyBufferSize);
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeReply(out, *query, blocked));
    }
}
BENCHMARK(BM_writeReply);

class NoForwarder : public QueryForwarder {
  public:
    void forwardQuery(DnsBytes, Completion done) override { done(std::nullopt); }
};

class NullChannel : public ReplyChannel {
  public:
    void send(const ClientAddress&, DnsBytes) override {}
};

// One million synthetic names, the shape of a real block list.
struct World {
    World() {
        const auto dir = std::filesystem::temp_directory_path() / "tranca-bench-lists";
        std::filesystem::create_directories(dir);
        {
            std::ofstream list(dir / "blocklist.txt");
            for (int i = 0; i < 1'000'000; ++i) {
                list << "sitio" << i << ".dominio" << (i % 997) << ".test\n";
            }
        }
        std::ofstream(dir / "custom.txt") << "";
        std::ofstream(dir / "allow.txt") << "";
        lists = std::make_unique<Blocklist>((dir / "blocklist.txt").string(),
                                            (dir / "custom.txt").string(),
                                            (dir / "allow.txt").string());
        const int saved = ::dup(STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        lists->reload();
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(devnull);
        pipeline =
            std::make_unique<QueryPipeline>(config, *lists, SafeSearch::shared(), forwarder, 4096);
    }
    DaemonConfig config;
    std::unique_ptr<Blocklist> lists;
    NoForwarder forwarder;
    std::unique_ptr<QueryPipeline> pipeline;
};

World& world() {
    static World instance;
    return instance;
}

void runDecision(benchmark::State& state, const DnsMessage& query, bool quiet) {
    World& w = world();
    auto channel = std::make_shared<NullChannel>();
    std::vector<std::byte> out(kReplyBufferSize);
    int saved = -1;
    if (quiet) {
        // Blocked names log a line each; measure the decision, not the terminal.
        saved = ::dup(STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        ::close(devnull);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(w.pipeline->handleQuery(query, ClientAddress{}, channel, out));
    }
    if (saved >= 0) {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
}

void BM_handleQuery_status(benchmark::State& state) {
    runDecision(state, makeQuery("estado.amparo.internal"), false);
}
BENCHMARK(BM_handleQuery_status);

void BM_handleQuery_blocked1M(benchmark::State& state) {
    runDecision(state, makeQuery("www.sitio123456.dominio327.test"), true);
}
BENCHMARK(BM_handleQuery_blocked1M);

void BM_handleQuery_safeSearch(benchmark::State& state) {
    runDecision(state, makeQuery("www.google.com"), false);
}
BENCHMARK(BM_handleQuery_safeSearch);

void BM_handleQuery_forwardDecision1M(benchmark::State& state) {
    // Not listed: walks every suffix, then hands over to the (instant) forwarder.
    runDecision(state, makeQuery("cdn.static.not-listed.example.org"), true);
}
BENCHMARK(BM_handleQuery_forwardDecision1M);

// The CNAME-cloaking check a forwarded answer goes through: a chain of three
// CNAMEs and an address, every name looked up in the 1M-name lists.
void BM_cnameChainCheck1M(benchmark::State& state) {
    World& w = world();
    DnsMessage reply = makeQuery("www.shop.example.com");
    reply[2] = std::byte{0x81};
    reply[7] = std::byte{4};
    const auto record = [&](std::uint16_t owner, int type, std::string_view target) {
        DnsMessage data;
        for (std::size_t start = 0; start < target.size();) {
            const std::size_t dot = std::min(target.find('.', start), target.size());
            data.push_back(std::byte{static_cast<std::uint8_t>(dot - start)});
            for (std::size_t i = start; i < dot; ++i) {
                data.push_back(std::byte{static_cast<std::uint8_t>(target[i])});
            }
            start = dot + 1;
        }
        data.push_back(std::byte{0});
        if (type != 5) {
            data.assign(4, std::byte{9});
        }
        const std::uint16_t at = static_cast<std::uint16_t>(reply.size());
        for (const int b : {0xC0 | (owner >> 8), owner & 0xFF, 0, type, 0, 1, 0, 0, 1, 0, 0,
                            static_cast<int>(data.size())}) {
            reply.push_back(std::byte{static_cast<std::uint8_t>(b)});
        }
        reply.insert(reply.end(), data.begin(), data.end());
        return static_cast<std::uint16_t>(at + 12);  // where the target name starts
    };
    std::uint16_t next = record(12, 5, "shop.example.com.cdn.provider.net");
    next = record(next, 5, "edge-17.cdn.provider.net");
    next = record(next, 5, "e17.a.provider-edge.net");
    record(next, 1, "");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            anyAnswerName(reply, [&](std::string_view name) { return w.lists->isBlocked(name); }));
    }
}
BENCHMARK(BM_cnameChainCheck1M);

}  // namespace

BENCHMARK_MAIN();
