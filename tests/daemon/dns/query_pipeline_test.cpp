#include "daemon/dns/query_pipeline.h"

#include <gtest/gtest.h>

#include <mutex>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using testing::append;
using testing::at;
using testing::bytes;
using testing::makeQuery;
using testing::makeReply;

// Remembers what was forwarded; the test decides when and how each ends.
class FakeForwarder : public QueryForwarder {
  public:
    void forwardQuery(DnsBytes query, Completion done) override {
        const std::lock_guard<std::mutex> guard(lock);
        queries.emplace_back(query.begin(), query.end());
        pending.push_back(std::move(done));
    }
    void complete(std::size_t index, std::optional<DnsMessage> reply) {
        Completion done;
        {
            const std::lock_guard<std::mutex> guard(lock);
            done = std::move(pending.at(index));
        }
        done(std::move(reply));
    }
    std::mutex lock;
    std::vector<DnsMessage> queries;
    std::vector<Completion> pending;
};

class RecordingChannel : public ReplyChannel {
  public:
    void send(const ClientAddress&, DnsBytes reply) override {
        const std::lock_guard<std::mutex> guard(lock);
        sent.emplace_back(reply.begin(), reply.end());
    }
    std::mutex lock;
    std::vector<DnsMessage> sent;
};

class Lists {
  public:
    Lists(const std::string& blocked, const std::string& allowed) {
        dir_.write("blocklist.txt", blocked);
        dir_.write("custom.txt", "");
        dir_.write("allow.txt", allowed);
        blocklist = std::make_unique<Blocklist>((dir_ / "blocklist.txt").string(),
                                                (dir_ / "custom.txt").string(),
                                                (dir_ / "allow.txt").string());
        blocklist->reload();
    }
    std::unique_ptr<Blocklist> blocklist;

  private:
    testing::ScratchDir dir_;
};

class PipelineTest : public ::testing::Test {
  protected:
    PipelineTest()
        : lists_("adult.example\nboth.example\namparo.internal\n", "both.example\ngoogle.de\n"),
          safeSearch_([](std::string_view) { return std::nullopt; }),
          pipeline_(config_, *lists_.blocklist, safeSearch_, forwarder_, 3),
          channel_(std::make_shared<RecordingChannel>()),
          out_(kReplyBufferSize) {}

    DnsMessage ask(const DnsMessage& query) {
        const DnsBytes reply = pipeline_.handleQuery(query, client_, channel_, out_);
        return DnsMessage(reply.begin(), reply.end());
    }

    // Runs fn with standard output captured; returns what was logged.
    template <typename Fn>
    std::string logged(Fn&& fn) {
        const testing::CapturedOutput out;
        fn();
        return out.text();
    }

    DaemonConfig config_;
    Lists lists_;
    SafeSearch safeSearch_;
    FakeForwarder forwarder_;
    QueryPipeline pipeline_;
    std::shared_ptr<RecordingChannel> channel_;
    ClientAddress client_;
    std::vector<std::byte> out_;
};

TEST_F(PipelineTest, SafeSearchAnswersUnlessAllowed) {
    // The status name lives a second in caches: Amparo must see a stop at once.
    const DnsMessage status = ask(makeQuery(3, std::string(amparo::contract::kStatusName)));
    ASSERT_EQ(at(status, 7), 1);
    EXPECT_EQ(at(status, status.size() - 7), 1);
    const DnsMessage google = ask(makeQuery(4, "www.google.com"));
    ASSERT_EQ(at(google, 7), 1);
    EXPECT_EQ(at(google, google.size() - 4), safehosts::kGoogleBuiltIn[0]);
    EXPECT_EQ(at(google, google.size() - 7), 60);
    EXPECT_EQ(at(ask(makeQuery(4, "google.com", 28)), 7), 0);
    EXPECT_TRUE(forwarder_.queries.empty());
    EXPECT_TRUE(ask(makeQuery(5, "google.de")).empty()) << "allowed search domain not forwarded";
    const DnsMessage duck = ask(makeQuery(6, "duckduckgo.com"));
    ASSERT_EQ(at(duck, 7), 1) << "enforced only once resolved";
    EXPECT_EQ(at(duck, duck.size() - 4), safehosts::kDuckDuckGoBuiltIn[0]);
    EXPECT_EQ(forwarder_.queries.size(), 1u);
    // Every engine and the names a browser reaches it under.
    for (const auto& [name, address] : {std::pair{"www.bing.com", safehosts::kBingBuiltIn},
                                        {"bing.com", safehosts::kBingBuiltIn},
                                        {"start.duckduckgo.com", safehosts::kDuckDuckGoBuiltIn},
                                        {"www.duckduckgo.com", safehosts::kDuckDuckGoBuiltIn},
                                        {"www.google.co.uk", safehosts::kGoogleBuiltIn}}) {
        const DnsMessage reply = ask(makeQuery(7, name));
        ASSERT_EQ(at(reply, 7), 1) << name;
        EXPECT_EQ(at(reply, reply.size() - 4), address[0]) << name;
    }
}

// A resolver that blocks a safe host answers 0.0.0.0: searching must keep
// the address it had rather than go nowhere.
TEST(SafeSearchRefresh, TakesNewAddressesButNeverABlockedOne) {
    SafeSearch safe([](std::string_view host) -> std::optional<Ipv4> {
        return host == safehosts::kBing ? Ipv4{0, 0, 0, 0} : Ipv4{10, 0, 0, 9};
    });
    safe.refresh();
    EXPECT_EQ(safe.addressOf(safehosts::kGoogle), (Ipv4{10, 0, 0, 9}));
    EXPECT_EQ(safe.addressOf(safehosts::kBing), safehosts::kBingBuiltIn);
}

// Forwards and TCP clients share what the listeners and files leave: TCP a
// quarter, never more than both together.
TEST(DescriptorBudget, AQuarterForTcpTheRestForForwards) {
    const DescriptorBudget budget = descriptorBudgetFor(2048 + 256);
    EXPECT_EQ(budget.tcpConnections, 512u);
    EXPECT_EQ(budget.forwards, 1536u);
    const DescriptorBudget small = descriptorBudgetFor(256);
    EXPECT_EQ(small.tcpConnections + small.forwards, 128u);
    const DescriptorBudget huge = descriptorBudgetFor(1 << 20);
    EXPECT_EQ(huge.forwards, 4096u) << "a flood keeps at most so many questions upstream";
    EXPECT_EQ(huge.tcpConnections, 1024u);
}

// Nothing the daemon cannot read goes upstream; it is answered from the
// header, or not at all when there is none or it is itself a response.
TEST_F(PipelineTest, DatagramsThatAreNotOneReadableQuestionAreNeverForwarded) {
    struct Row {
        const char* what;
        DnsMessage datagram;
        int rcode;  // -1: no reply at all
    };
    DnsMessage pointerAhead = bytes({0, 4, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x12, 0, 1, 0, 1});
    testing::appendName(pointerAhead, "adult.example");
    DnsMessage response = makeReply(makeQuery(3, "x.example"), {{1, 2, 3, 4}});
    DnsMessage notify = makeQuery(4, "x.example", 1, 0x2000);  // opcode 4
    DnsMessage twoQuestions = makeQuery(5, "x.example");
    twoQuestions[5] = std::byte{2};
    testing::appendName(twoQuestions, "adult.example");
    append(twoQuestions, {0, 1, 0, 1});
    DnsMessage withAnswer = makeQuery(6, "x.example");
    withAnswer[7] = std::byte{1};
    std::string longName;
    for (int i = 0; i < 127; ++i) {
        longName += "a.";
    }
    longName += "bb";  // over 255 octets on the wire
    const Row rows[] = {
        {"empty", {}, -1},
        {"shorter than a header", bytes({1, 2, 3}), -1},
        {"header alone", bytes({0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 1},
        {"compression pointer ahead of the question", pointerAhead, 1},
        {"response", response, -1},
        {"opcode other than QUERY", notify, 4},
        {"two questions", twoQuestions, 1},
        {"answer records in a query", withAnswer, 1},
        {"name over 255 octets", makeQuery(7, longName), 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const DnsMessage reply = ask(row.datagram);
        if (row.rcode < 0) {
            EXPECT_TRUE(reply.empty());
            continue;
        }
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(at(reply, 0), at(row.datagram, 0));
        EXPECT_EQ(at(reply, 1), at(row.datagram, 1));
        EXPECT_EQ(at(reply, 2), 0x80 | (at(row.datagram, 2) & 0x79));
        EXPECT_EQ(at(reply, 3), row.rcode);
    }
    EXPECT_TRUE(forwarder_.queries.empty());
}

TEST_F(PipelineTest, OneDomainHoldsOnlyItsShareOfTheForwards) {
    QueryPipeline pipeline(config_, *lists_.blocklist, safeSearch_, forwarder_, 64);
    const std::size_t share = pipeline.zoneShare();
    ASSERT_EQ(share, 8u);
    // An eighth of the forwards, at most 64.
    EXPECT_EQ(QueryPipeline(config_, *lists_.blocklist, safeSearch_, forwarder_, 256).zoneShare(),
              32u);
    EXPECT_EQ(QueryPipeline(config_, *lists_.blocklist, safeSearch_, forwarder_, 4096).zoneShare(),
              64u);
    const auto ask = [&](std::string_view name) {
        const DnsBytes reply = pipeline.handleQuery(makeQuery(1, name), client_, channel_, out_);
        return DnsMessage(reply.begin(), reply.end());
    };
    logged([&] {
        for (std::size_t i = 0; i < share; ++i) {
            EXPECT_TRUE(ask("r" + std::to_string(i) + ".flood.example").empty());
        }
        const DnsMessage refused = ask("Otro.FLOOD.example");
        ASSERT_FALSE(refused.empty());
        EXPECT_EQ(at(refused, 3) & 0x0F, 2);
        EXPECT_TRUE(ask("www.example.com").empty()) << "another domain was refused";
    });
    forwarder_.complete(0, std::nullopt);
    logged([&] { EXPECT_TRUE(ask("again.flood.example").empty()) << "share not released"; });
}

}  // namespace
}  // namespace tranca
