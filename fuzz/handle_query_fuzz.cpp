// The whole decision for one datagram, with a forwarder that answers at once
// with bytes taken from the input (so the rewrite sees hostile replies too).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "daemon/dns/query_pipeline.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace tranca;

class EchoForwarder : public QueryForwarder {
  public:
    DnsMessage nextReply;
    bool answer = true;
    void forwardQuery(DnsBytes query, Completion done) override {
        // Only one readable question of a standard query ever goes upstream.
        FUZZ_CHECK(parseQuery(query).has_value());
        if (answer) {
            done(nextReply);
        } else {
            done(std::nullopt);
        }
    }
};

class CountingChannel : public ReplyChannel {
  public:
    std::size_t sent = 0;
    DnsMessage last;
    void send(const ClientAddress&, DnsBytes reply) override {
        ++sent;
        last.assign(reply.begin(), reply.end());
    }
};

struct World {
    World() {
        // The pipeline logs every block; keep the fuzzer's output readable.
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDOUT_FILENO);
            ::close(devnull);
        }
        const auto dir = std::filesystem::temp_directory_path() / "tranca-fuzz-lists";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "blocklist.txt") << "adult.example\nb\nxn--bcher-kva.example\n";
        std::ofstream(dir / "custom.txt") << "propio.example\n";
        std::ofstream(dir / "allow.txt") << "ok.adult.example\ngoogle.de\n";
        lists = std::make_unique<Blocklist>((dir / "blocklist.txt").string(),
                                            (dir / "custom.txt").string(),
                                            (dir / "allow.txt").string());
        lists->reload();
        pipeline = std::make_unique<QueryPipeline>(config, *lists, safeSearch, forwarder, 8);
    }
    DaemonConfig config;
    std::unique_ptr<Blocklist> lists;
    SafeSearch safeSearch{[](std::string_view) { return std::optional<Ipv4>(Ipv4{9, 9, 9, 9}); }};
    EchoForwarder forwarder;
    std::unique_ptr<QueryPipeline> pipeline;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    static std::vector<std::byte> out(kReplyBufferSize);
    if (size == 0) {
        return 0;
    }
    // First byte: split point between query and upstream reply, and whether
    // the upstream answers at all.
    const std::size_t split = size > 1 ? 1 + data[0] % size : size;
    const DnsBytes query = asBytes(data + 1, split - 1);
    world.forwarder.answer = (data[0] & 1) != 0;
    world.forwarder.nextReply.assign(reinterpret_cast<const std::byte*>(data + split),
                                     reinterpret_cast<const std::byte*>(data + size));
    auto channel = std::make_shared<CountingChannel>();
    const DnsBytes reply = world.pipeline->handleQuery(query, ClientAddress{}, channel, out);
    FUZZ_CHECK(world.pipeline->forwardsInFlight() == 0);
    if (query.size() < kHeaderSize || (query[2] & std::byte{0x80}) != std::byte{0}) {
        // No header, or itself a response: answering could start a loop.
        FUZZ_CHECK(reply.empty() && channel->sent == 0);
        return 0;
    }
    if (!reply.empty()) {
        // Decided here: nothing went out through the forwarder's path.
        FUZZ_CHECK(channel->sent == 0);
        FUZZ_CHECK(reply.size() >= 2 && reply[0] == query[0] && reply[1] == query[1]);
        // Every reply is a response: never a datagram that could be taken
        // for a query (and answered back) by the peer.
        FUZZ_CHECK(reply.size() >= kHeaderSize && (reply[2] & std::byte{0x80}) != std::byte{0});
    } else {
        // Forwarded: exactly one reply.
        FUZZ_CHECK(channel->sent == 1);
    }
    return 0;
}
