#include "daemon/wire/dns_message.h"

#include <gtest/gtest.h>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using testing::append;
using testing::appendName;
using testing::bytes;
using testing::makeQuery;
using testing::makeReply;

struct ParseRow {
    const char* fault;
    DnsMessage message;
    bool accepted;
    std::string name;
    std::uint16_t qtype;
    std::size_t questionEnd;
};

DnsMessage header() {
    return bytes({0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0});
}

DnsMessage withLabel(std::size_t length, bool tail = true) {
    DnsMessage m = header();
    m.push_back(std::byte{static_cast<std::uint8_t>(length)});
    m.insert(m.end(), length, std::byte{'x'});
    if (tail) {
        append(m, {0, 0, 1, 0, 1});
    }
    return m;
}

std::vector<ParseRow> parseRows() {
    std::vector<ParseRow> rows;
    DnsMessage m = header();
    append(m, {0, 0, 1, 0});
    rows.push_back({"reads_past_end_of_16_byte_datagram", m, false, "", 0, 0});
    m = header();
    append(m, {0, 0, 0x1C, 0, 1});
    rows.push_back({"rejects_root_name_in_17_bytes", m, true, "", 0x1C, 17});
    m = header();
    append(m, {0xC0, 0x0C, 0, 1, 0, 1});
    rows.push_back({"follows_compression_pointer_in_question", m, false, "", 0, 0});
    rows.push_back({"accepts_64_byte_label", withLabel(64), false, "", 0, 0});
    rows.push_back({"rejects_63_byte_label", withLabel(63), true, std::string(63, 'x'), 1, 81});
    m = withLabel(10, false);
    m.resize(m.size() - 3);
    rows.push_back({"reads_label_past_end", m, false, "", 0, 0});
    m = header();
    appendName(m, "a.b");
    append(m, {0, 1, 0});
    rows.push_back({"reads_qclass_past_end", m, false, "", 0, 0});
    m = header();
    append(m, {3, 'w', 'w', 'w'});
    rows.push_back({"runs_off_unterminated_name", m, false, "", 0, 0});
    m = bytes({0xff, 0xff, 0xff, 0xff, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    appendName(m, "MiXeD.Case");
    append(m, {0, 28, 0, 1});
    rows.push_back({"looks_at_header_or_changes_case", m, true, "MiXeD.Case", 28, 12 + 12 + 4});
    m = header();
    append(m, {3, 'a', 0xC3, 0xA9, 2, 0xFF, 'z', 0, 0, 1, 0, 1});
    rows.push_back(
        {"passes_invalid_utf8_through", m, true, "a\xC3\xA9.\xEF\xBF\xBDz", 1, 12 + 8 + 4});
    m = header();
    append(m, {2, 'a', '\n', 0, 0, 1, 0, 1});
    rows.push_back({"mangles_control_bytes_in_name", m, true, "a\n", 1, 12 + 4 + 4});
    return rows;
}

TEST(ParseQuestion, TableOfFaults) {
    for (const ParseRow& row : parseRows()) {
        SCOPED_TRACE(row.fault);
        const auto question = parseQuestion(row.message);
        ASSERT_EQ(question.has_value(), row.accepted);
        if (question) {
            EXPECT_EQ(question->name, row.name);
            EXPECT_EQ(question->qtype, row.qtype);
            EXPECT_EQ(question->questionEnd, row.questionEnd);
        }
    }
}

TEST(ParseQuestion, NamesEndAt255OctetsOnTheWire) {
    // One-octet labels, and a last one of `tail` octets: 255 octets with the
    // root are the most a name may take.
    for (const auto& [labels, tail] : {std::pair{127u, 0u}, {126u, 2u}, {128u, 0u}}) {
        DnsMessage m = header();
        for (std::size_t i = 0; i < labels; ++i) {
            append(m, {1, 'a'});
        }
        if (tail > 0) {
            append(m, {static_cast<int>(tail), 'b', 'b'});
        }
        append(m, {0, 0, 1, 0, 1});
        const std::size_t octets = 2 * labels + (tail ? tail + 1 : 0) + 1;
        EXPECT_EQ(parseQuestion(m).has_value(), octets <= 255) << octets;
    }
}

TEST(ParseQuery, UdpLimitFromTheClientsOptRecordWithinBounds) {
    const auto withOpt = [](int high, int low) {
        DnsMessage query = makeQuery(1, "a.example");
        query[11] = std::byte{1};
        append(query, {0, 0, 41, high, low, 0, 0, 0, 0, 0, 0});
        return query;
    };
    const std::pair<DnsMessage, std::size_t> rows[] = {
        {makeQuery(1, "a.example"), 512},
        {withOpt(0x04, 0xD0), 1232},
        {withOpt(0x01, 0x00), 512},   // below the floor every client takes
        {withOpt(0xFF, 0xFF), 4096},  // never past the ceiling
    };
    for (const auto& [query, limit] : rows) {
        EXPECT_EQ(parseQuery(query)->udpLimit, limit);
    }
}

struct RewriteRow {
    const char* fault;
    DnsMessage reply;
    bool rewrote;
    DnsMessage expected;
};

std::vector<RewriteRow> rewriteRows() {
    std::vector<RewriteRow> rows;
    const DnsMessage q = makeQuery(1, "site.example");
    DnsMessage zero = makeReply(q, {{0, 0, 0, 0}});
    DnsMessage zeroFixed = makeReply(q, {{127, 0, 0, 1}});
    rows.push_back({"misses_a_zero_answer", zero, true, zeroFixed});

    DnsMessage real = makeReply(q, {{93, 184, 216, 34}, {1, 2, 3, 4}});
    rows.push_back({"touches_real_addresses", real, false, real});

    // CNAME then A 0.0.0.0.
    DnsMessage cname = q;
    cname[2] = std::byte{0x81};
    cname[3] = std::byte{0x80};
    cname[7] = std::byte{2};
    append(cname, {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0, 30, 0, 4, 1, 'z', 0xC0, 0x0C});
    DnsMessage cnameFixed = cname;
    append(cname, {0xC0, 0x1E, 0, 1, 0, 1, 0, 0, 0, 30, 0, 4, 0, 0, 0, 0});
    append(cnameFixed, {0xC0, 0x1E, 0, 1, 0, 1, 0, 0, 0, 30, 0, 4, 127, 0, 0, 1});
    rows.push_back({"changes_cname_or_misses_a_after_it", cname, true, cnameFixed});

    DnsMessage many = makeReply(q, {{0, 0, 0, 0}});
    many[7] = std::byte{65};
    rows.push_back({"accepts_65_answers", many, false, many});

    DnsMessage tooManyQuestions = makeReply(q, {{0, 0, 0, 0}});
    tooManyQuestions[5] = std::byte{5};
    rows.push_back({"accepts_5_questions", tooManyQuestions, false, tooManyQuestions});

    DnsMessage aaaa = q;
    aaaa[7] = std::byte{1};
    append(aaaa, {0xC0, 0x0C, 0, 28, 0, 1, 0, 0, 0, 30, 0, 16});
    aaaa.insert(aaaa.end(), 16, std::byte{0});
    rows.push_back({"rewrites_aaaa_zero", aaaa, false, aaaa});

    DnsMessage truncated = makeReply(q, {{0, 0, 0, 0}});
    truncated.resize(truncated.size() - 2);
    rows.push_back({"writes_past_truncated_record", truncated, false, truncated});

    // First answer good and 0.0.0.0, second record cut: the first still counts.
    DnsMessage partial = makeReply(q, {{0, 0, 0, 0}, {0, 0, 0, 0}});
    partial.resize(partial.size() - 5);
    DnsMessage partialFixed = partial;
    partialFixed[q.size() + 12] = std::byte{127};
    partialFixed[q.size() + 15] = std::byte{1};
    rows.push_back({"drops_rewrite_before_a_broken_record", partial, true, partialFixed});

    DnsMessage shortHeader = bytes({0, 1, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0});
    rows.push_back({"reads_short_header", shortHeader, false, shortHeader});

    // A question name of 130 one-byte labels: the walk gives up.
    DnsMessage endless = bytes({0, 1, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0});
    for (int i = 0; i < 130; ++i) {
        append(endless, {1, 'a'});
    }
    append(endless, {0, 0, 1, 0, 1, 0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 0, 0, 0, 0});
    rows.push_back({"walks_more_than_129_labels", endless, false, endless});

    // An owner whose first octet is a reserved label type, not a length.
    DnsMessage reserved = q;
    reserved[2] = std::byte{0x81};
    reserved[7] = std::byte{1};
    reserved.push_back(std::byte{0x41});
    reserved.insert(reserved.end(), 0x41, std::byte{'x'});
    append(reserved, {0, 0, 1, 0, 1, 0, 0, 0, 30, 0, 4, 0, 0, 0, 0});
    rows.push_back({"reads_a_reserved_label_type_as_a_length", reserved, false, reserved});

    DnsMessage ncount = makeReply(q, {});
    rows.push_back({"walks_reply_without_answers", ncount, false, ncount});
    return rows;
}

TEST(RewriteFamilyBlock, TableOfFaults) {
    for (RewriteRow& row : rewriteRows()) {
        SCOPED_TRACE(row.fault);
        EXPECT_EQ(rewriteFamilyBlock(row.reply), row.rewrote);
        EXPECT_EQ(row.reply, row.expected);
    }
}

}  // namespace
}  // namespace tranca
