#!/usr/bin/env python3
"""Mutation score of the daemon's tests: plants each fault of a fixed table in
a scratch copy of the sources, rebuilds, and runs the suite (daemon unit tests,
fuzz corpus replays, process tests) until something fails; a fault all of them
let live meets the booted Debian (tests/system) last. --app and --scripts
measure the tray application's and the scripts' tables the same way.

  bench/mutants.py --list
  bench/mutants.py --check [--no-build]           each fault applies (and compiles)
  bench/mutants.py --rev HEAD --name baseline      the score of a commit
  bench/mutants.py --worktree --name wip --only a,b
  bench/mutants.py --rev HEAD --name m --matrix   every in-process test each fault fails
  bench/mutants.py --rev HEAD --name p --process-only   the process tests alone
  bench/mutants.py --rev HEAD --name a --app       the tray application's table
  bench/mutants.py --rev HEAD --name s --scripts   the installer scripts' table

The scratch tree (default /tmp/amparo-mutants/<name>) holds src/, build/,
logs/ and report.json; the repository itself is only read.
"""

import argparse
import collections
import contextlib
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

PYTHON = "/usr/bin/python3"  # the interpreter CTest runs the process tests with
NICE = ["nice", "-n", "10"]
# Process modules that re-run themselves inside namespaces; a single test of
# theirs is selected by running that inner form directly.
INNER_FORM = {"test_dns_netns.py": ("TRANCA_DNS_NETNS", ["unshare", "-n", "-m", "--"]),
              "test_notices.py": ("TRANCA_NOTICES_NETNS", ["unshare", "-n", "-m", "-u", "--"])}

NETNS = "test_dns_netns.py::"
GTEST_BINARIES = ("daemon_tests", "lists_alloc_test")
# The test gtest was running: the last of these lines in its output.
GTEST_RUN = re.compile(r"^\[ RUN      \] (\S+)", re.M)
# The faults. `find` occurs exactly once in `file` (as of c91a806); `alt` holds
# the same fault as spelled in tidied sources, so scores of either stay
# comparable: when a find stops matching, add a spelling, never a new fault.
# `first` lists the tests run before the rest of the suite; `was` names where
# `file` lived before a move, for commits from before it.
MUTANTS = [
    # --- DNS wire ------------------------------------------------------------------
    dict(id="dns-label-64", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (length > 63) {\n            return false;\n        }\n        if (query.size() < offset + 1 + length)",
         replace="if (length > 64) {\n            return false;\n        }\n        if (query.size() < offset + 1 + length)",
         why="a 64-octet label (reserved length bits) is read as a name and forwarded",
         alt=[("if (*length > kMaxLabelLength) {\n            return false;\n        }\n        const auto label",
               "if (*length > kMaxLabelLength + 1) {\n            return false;\n        }\n        const auto label"),
              ("if (length > kMaxLabelLength) {\n            return false;\n        }\n        if (query.size() < offset + 1 + length)",
               "if (length > kMaxLabelLength + 1) {\n            return false;\n        }\n        if (query.size() < offset + 1 + length)")],
         first=["ParseQuestion.*", "fuzz:parse_question"]),
    dict(id="dns-name-256", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (offset + 1 + length - 12 >= kMaxNameWire) {",
         replace="if (offset + 1 + length - 12 > kMaxNameWire) {",
         why="a name of 256 octets on the wire is accepted (off by one)",
         alt=[("if (reader.position() - start >= kMaxNameWire) {",
               "if (reader.position() - start > kMaxNameWire) {"),
              ("if (offset + 1 + length - kHeaderSize >= kMaxNameWire) {",
               "if (offset + 1 + length - kHeaderSize > kMaxNameWire) {")],
         first=["ParseQuestion.*"]),
    dict(id="classify-response", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (query.size() < kHeaderSize || (byteAt(query, 2) & 0x80) != 0) {",
         replace="if (query.size() < kHeaderSize) {",
         why="datagrams with QR set (responses) are decided and answered like queries",
         alt=[("if (!idField || !flagsField || !counts || (*flagsField & kFlagQR) != 0) {",
               "if (!idField || !flagsField || !counts) {"),
              ("if (!id || !flags || !counts || (*flags & kFlagQR) != 0) {",
               "if (!id || !flags || !counts) {"),
              ("if (query.size() < kHeaderSize || (byteAt(query, kFlagsOffset) & kFlagQR) != 0) {",
               "if (query.size() < kHeaderSize) {")],
         first=["PipelineTest.DatagramsThatAreNotOneReadableQuestionAreNeverForwarded"]),
    dict(id="header-rcode-lost", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="out[3] = std::byte{static_cast<std::uint8_t>(rcode & 0x0F)};",
         replace="out[3] = std::byte{static_cast<std::uint8_t>(rcode & 0x00)};",
         why="FORMERR and NOTIMP replies go out as NOERROR",
         alt=[("out[kRcodeFlagsOffset] = std::byte{static_cast<std::uint8_t>(rcode & kRcodeMask)};",
               "out[kRcodeFlagsOffset] = std::byte{static_cast<std::uint8_t>(rcode & 0x00)};")],
         first=["PipelineTest.DatagramsThatAreNotOneReadableQuestionAreNeverForwarded"]),
    dict(id="tc-bit-missing", file="daemon/dns/pipeline_forward.cpp",
         find="reply[kFlagsOffset] |= std::byte{kFlagTC};",
         replace="reply[kFlagsOffset] |= std::byte{0};",
         why="a cut UDP reply lacks the TC bit, so the client never retries over TCP",
         first=[NETNS + "test_large_answer_whole_over_tcp_truncated_over_udp"]),
    dict(id="edns-ignored", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (u16At(query, *nameEnd) == 41) {",
         replace="if (u16At(query, *nameEnd) == 40) {",
         why="the client's EDNS OPT record is not recognised: every reply over 512 bytes is cut",
         alt=[("if (record->type == RecordType::OPT) {",
               "if (static_cast<std::uint16_t>(record->type) == 40) {")],
         first=["ParseQuery.*"]),
    dict(id="servfail-nxdomain", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="((byteAt(query, 3) & 0xF0) | 0x02)",
         replace="((byteAt(query, 3) & 0xF0) | 0x03)",
         why="upstream failure answered NXDOMAIN instead of SERVFAIL (the name is cached as nonexistent)",
         alt=[("& ~kRcodeMask) | kServFail)",
               "& ~kRcodeMask) | kNxDomain)")],
         first=["fuzz:build_servfail"]),
    dict(id="family-zero-flip", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (type == 1 && dataLength == 4 && byteAt(message, data) == 0 &&",
         replace="if (type == 1 && dataLength == 4 && byteAt(message, data) != 0 &&",
         why="the family resolvers' 0.0.0.0 block answer is no longer sent to the block page",
         alt=[("[](std::byte b) { return b == std::byte{0}; }",
               "[](std::byte b) { return b != std::byte{0}; }"),
              ("byteAt(message, data) == 0 && byteAt(message, data + 1) == 0 &&",
               "byteAt(message, data) != 0 && byteAt(message, data + 1) == 0 &&")],
         first=["RewriteFamilyBlock.*"]),
    dict(id="reply-id-ignored", file="daemon/wire/dns_message.cpp",
         was=["daemon/dns_message.cpp"],
         find="if (matchId && u16At(reply, kIdOffset) != u16At(query, kIdOffset)) {",
         replace="if (false && matchId && u16At(reply, kIdOffset) != u16At(query, kIdOffset)) {",
         why="a plain-DNS reply with another ID (a spoofed one) is taken as the answer",
         first=[NETNS + "test_late_and_forged_udp_answers_are_not_taken"]),
    # --- the decision ------------------------------------------------------------------
    dict(id="safesearch-allow-ignored", file="daemon/dns/query_pipeline.cpp",
         was=["daemon/query_pipeline.cpp"],
         find="if (address && !lists_.isAllowed(question.name)) {",
         replace="if (address) {",
         alt=[("if (address && !lists_.isAllowed(prepared.lookup)) {", "if (address) {"),
              ("if (address && !lists_.isAllowed(normal)) {", "if (address) {")],
         why="an allowed search domain is still rewritten to SafeSearch (allow-list check dropped)",
         first=["PipelineTest.SafeSearchAnswersUnlessAllowed"]),
    dict(id="resolver-allow-ignored", file="daemon/dns/query_pipeline.cpp",
         was=["daemon/query_pipeline.cpp"],
         find="bypass != BypassName::none && !lists_.isAllowed(question.name)) {",
         replace="bypass != BypassName::none) {",
         alt=[("bypass != BypassName::none && !lists_.isAllowed(prepared.lookup)) {",
               "bypass != BypassName::none) {"),
              ("bypass != BypassName::none && !lists_.isAllowed(normal)) {",
               "bypass != BypassName::none) {")],
         why="an encrypted resolver on the allow list is still blocked",
         first=["PipelineTest.*", NETNS + "test_canaries_resolvers_and_cloaked_names"]),
    dict(id="canary-noerror", file="daemon/dns/decision.cpp",
         was=["daemon/dns/query_pipeline.cpp", "daemon/query_pipeline.cpp"],
         find="out[3] = std::byte{0x83};  // RA, NXDOMAIN",
         replace="out[3] = std::byte{0x80};  // RA, NXDOMAIN",
         why="the DoH canary gets NOERROR instead of NXDOMAIN, so Firefox turns its own DoH on",
         alt=[("out[kRcodeFlagsOffset] = std::byte{kFlagRA | kNxDomain};",
               "out[kRcodeFlagsOffset] = std::byte{kFlagRA};")],
         first=["PipelineTest.*", NETNS + "test_canaries_resolvers_and_cloaked_names"]),
    dict(id="cname-cloak-ignored", file="daemon/dns/pipeline_forward.cpp",
         was=["daemon/pipeline_forward.cpp", "daemon/query_pipeline.cpp"],
         find="if (cloaked) {",
         replace="if (cloaked && listed.empty()) {",
         why="a blocked name behind a CNAME of an innocent one is relayed",
         first=["PipelineTest.*", NETNS + "test_canaries_resolvers_and_cloaked_names"]),
    dict(id="tcp-reply-truncated", file="daemon/dns/pipeline_forward.cpp",
         was=["daemon/pipeline_forward.cpp", "daemon/query_pipeline.cpp"],
         find="if (context->channel->datagram() && reply->size() > context->udpLimit) {",
         replace="if (reply->size() > context->udpLimit) {",
         alt=[("return channel.datagram() && size > limit;",
               "return static_cast<void>(channel), size > limit;")],
         why="large replies are cut over TCP too, so they can never be had whole",
         first=[NETNS + "test_large_answer_whole_over_tcp_truncated_over_udp"]),
    dict(id="local-ttl-wrong", file="daemon/dns/query_pipeline.h",
         was=["daemon/dns/query_pipeline.cpp", "daemon/query_pipeline.cpp"],
         find="kLocalAnswerTtl = 60;",
         replace="kLocalAnswerTtl = 6;",
         alt=[("constexpr std::uint8_t kLocalTtl = 60;", "constexpr std::uint8_t kLocalTtl = 6;")],
         why="block and SafeSearch answers carry TTL 6 instead of 60",
         first=["PipelineTest.SafeSearchAnswersUnlessAllowed"]),
    dict(id="zone-share-off-by-one", file="daemon/dns/query_pipeline.cpp",
         was=["daemon/query_pipeline.cpp"],
         find="if (held >= zoneShare_) {",
         replace="if (held > zoneShare_) {",
         why="one domain may hold one forward more than its share",
         first=["PipelineTest.OneDomainHoldsOnlyItsShareOfTheForwards"]),
    # --- the answer cache ----------------------------------------------------------------
    dict(id="cache-ttl-not-counted-down", file="daemon/upstream/answer_cache.cpp",
         was=["daemon/answer_cache.cpp"],
         find="setRecordTtls(out.first(hit.size), questionEnd, age);",
         replace="setRecordTtls(out.first(hit.size), questionEnd, 0);",
         why="a cached answer goes out with the TTL it had when stored, so clients keep it too long",
         first=["AnswerCacheRules.*", NETNS + "test_second_lookup_never_reaches_the_upstream"]),
    dict(id="cache-reload-not-emptying", file="daemon/upstream/answer_cache.cpp",
         was=["daemon/answer_cache.cpp"],
         find="        entries_.clear();\n        index_.clear();\n        bytes_ = 0;\n",
         replace="",
         why="new lists leave the cache as it was: a chain into a newly blocked name is still served",
         first=["AnswerCacheRules.*"]),
    dict(id="lists-generation-unchanged", file="daemon/lists/lists.cpp",
         was=["daemon/lists.cpp"],
         find="    generation_.fetch_add(1, std::memory_order_acq_rel);\n",
         replace="",
         why="a list reload is not seen by the cache: a chain into a newly blocked name is still served",
         first=[NETNS + "test_newly_blocked_name_is_blocked_at_once_though_cached"]),
    dict(id="cache-out-of-bailiwick-stored", file="daemon/upstream/cache_wire.cpp",
         was=["daemon/cache_wire.cpp"],
         find="if (!inChain(owner)) {",
         replace="if (false && !inChain(owner)) {",
         why="records about names the question never asked (poison) are kept and served",
         first=["AnswerCacheRules.*", "fuzz:answer_cache"]),
    dict(id="cache-ttl-zero-stored", file="daemon/upstream/cache_wire.cpp",
         was=["daemon/cache_wire.cpp"],
         find="if (ttl == 0 || out.full()) {",
         replace="if (out.full()) {",
         why="an answer with TTL 0 (not to be kept) is kept, and served stale when the upstreams are silent",
         first=["AnswerCache.*"]),
    dict(id="cache-no-coalescing", file="daemon/dns/pending_questions.cpp",
         was=["daemon/pending_questions.cpp"],
         find="if (found == waiting_.end()) {",
         replace="if (true) {",
         why="every one of many identical questions in flight goes upstream",
         first=[NETNS + "test_identical_questions_in_flight_share_one_upstream_query"]),
    dict(id="cache-no-stale", file="daemon/upstream/answer_cache.cpp",
         was=["daemon/answer_cache.cpp"],
         find="now - entry->stored > std::chrono::seconds(entry->ttl) + kStaleWindow) {",
         replace="(static_cast<void>(now), true)) {",
         why="with every upstream silent a recently expired answer gives way to SERVFAIL",
         first=["AnswerCache.*"]),
    # --- lists -------------------------------------------------------------------------
    dict(id="allow-list-dropped", file="daemon/lists/lists.cpp",
         was=["daemon/lists.cpp"],
         find="        if (sets->allowed.contains(candidate, hash)) {\n            return false;\n        }\n",
         replace="",
         why="isBlocked ignores the allow list",
         first=["ListsTest.*", NETNS + "test_local_decisions_and_forwarding_over_udp_and_tcp"]),
    dict(id="custom-list-ignored", file="daemon/lists/lists.cpp",
         was=["daemon/lists.cpp"],
         find="fresh->custom = parseListFile(paths_[1], &skips[1]);",
         replace="fresh->custom = parseListFile(paths_[0], &skips[1]);",
         why="custom.txt is never read (the blocklist is read in its place)",
         first=["ListsTest.*", "DaemonMaintenance.*"]),
    dict(id="nameset-full-table", file="daemon/lists/name_set.cpp",
         was=["daemon/name_set.cpp"],
         find="if ((count_ + 1) * 2 > slots_.size()) {",
         replace="if (count_ + 1 > slots_.size()) {",
         why="the hash table fills up completely; looking up an absent name then never ends",
         first=["NameSetTable.*"]),
    dict(id="hosts-127-ignored", file="daemon/lists/list_file.cpp",
         was=["daemon/list_file.cpp"],
         find='if (name == "0.0.0.0" || name == "127.0.0.1") {',
         replace='if (name == "0.0.0.0") {',
         why="hosts-format lines starting with 127.0.0.1 lose their name",
         first=["Rows/ListFormat.*"]),
    dict(id="wildcard-half-stripped", file="daemon/lists/list_file.cpp",
         was=["daemon/list_file.cpp"],
         find='if (lowered_.starts_with("*.")) {\n        lowered_.erase(0, 2);',
         replace='if (lowered_.starts_with("*.")) {\n        lowered_.erase(0, 1);',
         why='"*.example.com" is stored as ".example.com" and matches nothing (off by one)',
         first=["Rows/ListFormat.*", "ListsTest.*"]),
    # --- text ----------------------------------------------------------------------------
    dict(id="nbsp-not-blank", file="daemon/text.cpp",
         find="c == 0x20 || c == 0xa0 || c == 0x1680",
         replace="c == 0x20 || c == 0x1680",
         why="a no-break space around a list name or address is kept, so the entry never matches",
         first=["Rows/ListFormat.*"]),
    # --- SafeSearch ----------------------------------------------------------------------
    dict(id="safesearch-www-google", file="daemon/lists/safesearch.cpp",
         was=["daemon/safesearch.cpp"],
         find='if (name.starts_with("www.")) {\n        name.remove_prefix(4);',
         replace='if (name.starts_with("www.")) {\n        name.remove_prefix(0);',
         why="www.google.<tld> escapes the SafeSearch rewrite",
         first=["PipelineTest.SafeSearchAnswersUnlessAllowed"]),
    dict(id="safesearch-start-ddg", file="daemon/lists/safesearch.cpp",
         was=["daemon/safesearch.cpp"],
         find='isDomainOrPrefixed(whole, "duckduckgo.com", {"www", "start"})',
         replace='isDomainOrPrefixed(whole, "duckduckgo.com", {"www"})',
         why="start.duckduckgo.com escapes the SafeSearch rewrite",
         first=[NETNS + "test_duckduckgo_enforced_from_the_start_then_refreshed_through_itself"]),
    # --- block destination and page ------------------------------------------------------
    dict(id="redirect-control-char", file="daemon/page/redirect.cpp",
         was=["daemon/redirect.cpp"],
         find="if (byte < 0x20 || byte == 0x7f) {",
         replace="if (byte == 0x7f) {",
         why="a redirect address with control characters is put into the Location header",
         first=["RedirectFileRules.*"]),
    dict(id="redirect-last-line-wins", file="daemon/page/redirect.cpp",
         was=["daemon/redirect.cpp"],
         find="        if (setting) {\n            return;\n        }\n",
         replace="",
         why="the last setting line of redirect.txt wins instead of the first",
         first=["RedirectFileRules.*"]),
    dict(id="content-length-no-host", file="daemon/page/page_connection.cpp",
         was=["daemon/page/blockpage.cpp", "daemon/blockpage.cpp"],
         find="pageResponseHeader(page.head.size() + host.size() + page.tail.size(), header_);",
         replace="pageResponseHeader(page.head.size() + page.tail.size(), header_);",
         why="the served page's Content-Length leaves out the host name bytes",
         first=["test_blockpage.py::test_page_names_the_host_and_content_length_counts_bytes"]),
    dict(id="host-angle-bracket", file="daemon/page/http_request.cpp",
         was=["daemon/page/blockpage.cpp", "daemon/blockpage.cpp"],
         find="c == '-' || c == ':';",
         replace="c == '-' || c == ':' || c == '<';",
         why="'<' from the Host header reaches the page unescaped (markup injection)",
         first=["HostHeader.*"]),
    dict(id="blockpage-no-deadline", file="daemon/page/page_connection.cpp",
         was=["daemon/page/blockpage.cpp", "daemon/blockpage.cpp"],
         find="    void start() {\n        armDeadline();\n        readRequest();",
         replace="    void start() {\n        readRequest();",
         alt=[("void BlockPageConnection::start() {\n    armDeadline();\n    readRequest();",
               "void BlockPageConnection::start() {\n    readRequest();")],
         why="a client that never sends its request holds its connection forever (timeout removed)",
         first=["test_blockpage.py::test_silent_and_slow_clients_are_answered_and_released"]),
    dict(id="head-gets-body", file="daemon/page/page_connection.cpp",
         was=["daemon/page/blockpage.cpp", "daemon/blockpage.cpp"],
         find="        if (head) {\n            asio::async_write(socket_, asio::buffer(header), std::move(done));",
         replace="        if (head && header.empty()) {\n            asio::async_write(socket_, asio::buffer(header), std::move(done));",
         alt=[("    if (head) {\n        asio::async_write(socket_, asio::buffer(header), std::move(done));",
               "    if (head && header.empty()) {\n        asio::async_write(socket_, asio::buffer(header), std::move(done));")],
         why="a HEAD request gets the page body too",
         first=["test_blockpage.py::test_head_gets_the_headers_of_get_and_no_body"]),
    # --- logging ---------------------------------------------------------------------------
    dict(id="blocklog-repeats", file="daemon/dns/block_log.cpp",
         was=["daemon/block_log.cpp"],
         find="if (now - slot->lastLogged < 1s ||",
         replace="if (now - slot->lastLogged < 1ms ||",
         alt=[("if (now - slot->lastLogged < limits_.perName ||",
               "if (now - slot->lastLogged < 1ms ||")],
         why="the same blocked name is logged on every query instead of once a second",
         first=["BlockLogTest.*"]),
    dict(id="blocklog-single-omission", file="daemon/dns/block_log.cpp",
         was=["daemon/block_log.cpp"],
         find="    if (omitted != 0) {\n        writeOmitted(omitted);\n    }\n    if (verdict",
         replace="    if (omitted > 1) {\n        writeOmitted(omitted);\n    }\n    if (verdict",
         why="a single left-out block line is never reported",
         first=["BlockLogTest.*"]),
    dict(id="log-del-unescaped", file="daemon/log.cpp",
         find="if (byte >= 0x20 && byte < 0x7f) {",
         replace="if (byte >= 0x20 && byte <= 0x7f) {",
         why="the DEL byte from a query name reaches the log unescaped",
         first=["LogLine.*"]),
    dict(id="log-unflushed", file="daemon/log.cpp",
         find="if (log.openBatches == 0 || log.pending.size() >= kBatchFlushBytes) {",
         replace="if (log.openBatches < 0 || log.pending.size() >= kBatchFlushBytes) {",
         why="lines outside a batch wait until 16 KiB pile up: the log stalls",
         first=["test_network_settings.py::test_resolvconf_round_trip_keeps_search_options_and_originals"]),
    dict(id="log-line-separator-kept", file="daemon/log.cpp",
         find="(c >= 0x80 && c <= 0x9f) || (c >= 0x2028 && c <= 0x202e) ||",
         replace="(c >= 0x80 && c <= 0x9f) ||",
         why="U+2028 and the bidi overrides from a query name reach the log: a viewer splits or reorders the line",
         first=["LogLine.*"]),
    dict(id="blocklog-new-names-unbounded", file="daemon/dns/block_log.cpp",
         was=["daemon/block_log.cpp"],
         find="if (linesThisSecond_ >= std::max(limits_.linesPerSecond, limits_.linesPerSecondWithNewNames)) {",
         replace="if (false) {",
         why="a client inventing a name per query writes a log line per query",
         first=["BlockLogTest.*"]),
    # --- upstreams -------------------------------------------------------------------------
    dict(id="plain-dns-port", file="daemon/upstream/upstream.cpp",
         was=["daemon/upstream.cpp"],
         find="endpoints.plain.emplace_back(parsed, 53);",
         replace="endpoints.plain.emplace_back(parsed, 5353);",
         why="plain DNS fallback asks the family resolvers on port 5353",
         first=[NETNS + "test_unreachable_https_falls_back_to_udp_switch_logged_once_then_back"]),
    # Since identical questions share one upstream query, the ID each client
    # gets back is set where the answer is handed out; the forwarder's own
    # copy of it can no longer be told apart.
    dict(id="doh-id-not-restored", file="daemon/dns/pipeline_forward.cpp",
         find="std::copy_n(asker.query.begin(), kIdSize, reply.begin());",
         replace="std::copy_n(asker.query.begin(), 0, reply.begin());",
         why="an answer keeps the server's or the first asker's ID, which the other clients reject",
         first=[NETNS + "test_identical_questions_in_flight_share_one_upstream_query"]),
    dict(id="https-reached-flip", file="daemon/upstream/upstream.cpp",
         was=["daemon/upstream.cpp"],
         find="if (!result.transportFailed) {",
         replace="if (result.transportFailed) {",
         why="a resolver refusing one query makes the forwarder abandon HTTPS for plain DNS",
         first=[NETNS + "test_https_answers_that_are_no_transport_failure"]),
    dict(id="udp-no-timeout", file="daemon/upstream/udp_attempt.cpp",
         was=["daemon/udp_attempt.cpp"],
         find="            if (!expired) {\n                self->finish(std::nullopt);",
         replace="            if (expired) {\n                self->finish(std::nullopt);",
         why="a silent plain DNS resolver is waited for forever (timeout removed)",
         first=[NETNS + "test_unreachable_https_falls_back_to_udp_switch_logged_once_then_back"]),
    dict(id="doh-no-timeout", file="daemon/upstream/doh_client.cpp",
         was=["daemon/doh_client.cpp"],
         find="curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));",
         replace="curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 0L);",
         why="a silent DoH resolver is waited for forever (timeout removed)",
         first=[NETNS + "test_everything_silent_gives_servfail_after_six_attempts"]),
    # --- listeners -------------------------------------------------------------------------
    dict(id="udp-listen-port", file="daemon/dns/dns_server.cpp",
         was=["daemon/dns_server.cpp"],
         find="const asio::ip::udp::endpoint local(address, config_.dnsPort);",
         replace="const asio::ip::udp::endpoint local(address, static_cast<std::uint16_t>(config_.dnsPort + 1));",
         why="the UDP listener binds the port after the configured one",
         first=[NETNS + "test_local_decisions_and_forwarding_over_udp_and_tcp"]),
    dict(id="tcp-length-prefix", file="daemon/dns/dns_tcp_server.cpp",
         was=["daemon/dns_tcp_server.cpp"],
         find="out[0] = std::byte{static_cast<std::uint8_t>(message.size() >> 8)};",
         replace="out[0] = std::byte{static_cast<std::uint8_t>(message.size() >> 9)};",
         why="TCP replies of 256 bytes or more carry a wrong length prefix",
         alt=[("putU16(out, 0, static_cast<std::uint16_t>(message.size()));",
               "putU16(out, 0, static_cast<std::uint16_t>(((message.size() >> 9) << 8) | (message.size() & 0xFF)));")],
         first=[NETNS + "test_large_answer_whole_over_tcp_truncated_over_udp"]),
    dict(id="tcp-no-idle-timeout", file="daemon/dns/dns_tcp_server.cpp",
         was=["daemon/dns_tcp_server.cpp"],
         find="        armIdle(limits_.idleTimeout);\n        readLength();",
         replace="        readLength();",
         why="idle or half-sent TCP connections are never closed (timeout removed)",
         first=[NETNS + "test_pipelined_queries_and_a_client_stuck_halfway"]),
    dict(id="tcp-no-write-deadline", file="daemon/dns/dns_tcp_server.cpp",
         was=["daemon/dns_tcp_server.cpp"],
         find="            if (!error && self->writing_ && self->writes_ == write) {\n                self->close();",
         replace="            if (!error && self->writing_ && self->writes_ == write) {\n                (void)self;",
         why="clients that ask for large replies and never read them hold the TCP table for good",
         first=["TcpServerTest.*"]),
    dict(id="cname-resolver-unchecked", file="daemon/dns/pipeline_forward.cpp",
         was=["daemon/pipeline_forward.cpp", "daemon/query_pipeline.cpp"],
         find="if (classifyBypassName(name) == BypassName::encryptedResolver &&",
         replace="if (false && classifyBypassName(name) == BypassName::encryptedResolver &&",
         alt=[("if (classifyBypassName(owner) == BypassName::encryptedResolver &&",
               "if (false && classifyBypassName(owner) == BypassName::encryptedResolver &&")],
         why="a public encrypted resolver behind a CNAME of an innocent name is relayed",
         first=[NETNS + "test_canaries_resolvers_and_cloaked_names"]),
    # --- the log -----------------------------------------------------------------------------
    dict(id="log-name-unescaped", file="daemon/log.cpp",
         find="        if (plain) {",
         replace="        if (static_cast<void>(plain), true) {",
         why='a label "a BLOQUEADO b" is logged as it is, and the tray reads it as a block',
         first=["LogLine.*"]),
    dict(id="log-never-emptied", file="daemon/log.cpp",
         find="    if (::ftruncate(fd, 0) != 0) {",
         replace="    if (true) {",
         why="a flood of lines grows the log without bound between two rotations",
         first=["LogLine.*"]),
    dict(id="unanswered-lines-unlimited", file="daemon/dns/query_pipeline.h",
         was=["daemon/query_pipeline.h"],
         find="kUnansweredLogLimits{.perName = std::chrono::minutes(1),",
         replace="kUnansweredLogLimits{.perName = std::chrono::minutes(0),",
         alt=[("BlockLogLimits{.perName = std::chrono::minutes(1),",
               "BlockLogLimits{.perName = std::chrono::minutes(0),")],
         why="an offline machine logs every unanswered name each time it is asked",
         first=[NETNS + "test_everything_silent_gives_servfail_after_six_attempts"]),
    # --- self-check and the machine's settings ------------------------------------------------
    dict(id="selfcheck-third-failure", file="daemon/system/selfcheck.cpp",
         was=["daemon/selfcheck.cpp"],
         find="if (failures >= 2 && terminate_) {",
         replace="if (failures >= 3 && terminate_) {",
         why="a dead filter is given up only after three failed probes",
         alt=[("if (failures >= kFailuresToStop && terminate_) {",
               "if (failures >= kFailuresToStop + 1 && terminate_) {")],
         first=["SelfCheckCounting.*"]),
    dict(id="stop-mode-local", file="daemon/system/selfcheck.cpp",
         was=["daemon/selfcheck.cpp"],
         find="net_.setDNSMode(DNSMode::respaldo, reason);",
         replace="net_.setDNSMode(DNSMode::local, reason);",
         why="on stop the machine keeps pointing at the dead local filter (swapped DNS mode)",
         first=["test_network_settings.py::test_sigterm_switches_to_backup_resolvers_before_exit",
                "test_network_settings.py::test_self_check_without_answers_stops_the_daemon_on_backup"]),
    dict(id="original-restore-skipped", file="daemon/system/netconfig.cpp",
         was=["daemon/netconfig.cpp"],
         find="found == original.end() ? std::vector<std::string>{} : found->second);",
         replace="found == original.end() ? std::vector<std::string>{} : std::vector<std::string>{});",
         why='"--dns original" drops the recorded servers instead of restoring them',
         first=["NetConfigTest.*",
                "test_network_settings.py::test_resolvconf_round_trip_keeps_search_options_and_originals"]),
    dict(id="backup-recorded-as-original", file="daemon/system/original_dns.cpp",
         was=["daemon/system/netconfig.cpp", "daemon/netconfig.cpp"],
         find="if (servers == localServers() || servers == backupServers()) {",
         replace="if (servers == localServers()) {",
         why="our own backup resolvers are recorded as the user's original servers",
         first=["NetConfigTest.*"]),
    dict(id="user-http-proxy-overwritten", file="daemon/system/proxy_settings.cpp",
         was=["daemon/system/netconfig.cpp", "daemon/netconfig.cpp"],
         find="if ((httpsEnabled && !httpsOurs) || (httpEnabled && !httpOurs)) {",
         replace="if (httpsEnabled && !httpsOurs) {",
         why="a user's own HTTP proxy is replaced by ours",
         first=["NetConfigTest.OnlyOurOwnProxyIsTurnedOnOrOff"]),
    dict(id="resolver-name-case", file="daemon/lists/bypass.cpp",
         was=["daemon/bypass.cpp"],
         find="buffer[i] = text::asciiLower(name[i]);",
         replace="buffer[i] = name[i];",
         why="DNS.GOOGLE and other upper-case resolver names escape the block (lower-casing skipped)",
         first=[NETNS + "test_canaries_resolvers_and_cloaked_names"]),
    dict(id="port-65536", file="daemon/config.cpp",
         find="if (value > 65535) {",
         replace="if (value > 65536) {",
         why="TRANCAD_PORT=65536 wraps to port 0 instead of falling back",
         first=["PortParsing.*"]),
    dict(id="original-record-kept", file="daemon/cli/cli.cpp",
         was=["daemon/cli.cpp"],
         find="::unlink(net.originalPath().c_str());",
         replace="(void)net.originalPath();",
         why='"--dns original" keeps the stale record, so later activations never record anew',
         first=["test_network_settings.py"]),
    dict(id="resolvconf-servers-not-added", file="platform/linux/resolvconf_store.cpp",
         find="    if (!serversPlaced) {\n        out += serverLines;\n    }\n    return out;",
         replace="    return out;",
         why="a resolv.conf without nameserver lines never gets ours",
         first=["ResolvConfStore.*", "test_network_settings.py"]),
    dict(id="nm-apply-check-flip", file="platform/linux/nm_store.cpp",
         find="if (defaultServers(bus_->readGlobal()) != *committedServers_) {",
         replace="if (defaultServers(bus_->readGlobal()) == *committedServers_) {",
         why="NetworkManager applying the servers is reported as a failure, and refusing them as success",
         first=[]),
    dict(id="single-store-no-proxy", file="platform/linux/single_service_store.cpp",
         find="return protocol == Protocol::dns || proxy_ != nullptr;",
         replace="return protocol == Protocol::dns;",
         why="the system proxy (dconf) is never read or written",
         first=["ProtectionTest.*", "test_network_settings.py"]),
    dict(id="settings-read-blocks", file="platform/posix/file_util.cpp",
         find="O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY",
         replace="O_RDONLY | O_CLOEXEC | O_NOCTTY",
         why="a FIFO put at resolv.conf or the redirect file stalls the self-check for good",
         first=["ResolvConfStore.*"]),
    dict(id="resolvconf-rendered-over-unread", file="platform/linux/resolvconf_store.cpp",
         find="    const auto text = posix_files::readSettingsFile(path_, error_);\n    if (!text) {\n        return false;\n    }\n    const ResolvConf current",
         replace="    const auto text = std::optional<std::string>(\n        posix_files::readSettingsFile(path_, error_).value_or(std::string()));\n    const ResolvConf current",
         why="a resolv.conf that cannot be read whole at commit is replaced: the user's other lines are lost",
         first=["ResolvConfStore.*"]),
    dict(id="originals-directory-not-made", file="daemon/system/original_dns.cpp",
         was=["daemon/system/netconfig.cpp", "daemon/netconfig.cpp"],
         find="    ::mkdir(config_.dataDirectory.c_str(), 0755);\n",
         replace="",
         alt=[("    ::mkdir(dataDirectory.c_str(), 0755);\n", "")],
         why="on a fresh installation the user's own DNS servers are never recorded, so never given back",
         first=["ProtectionTest.*"]),
    dict(id="replace-file-mode", file="platform/posix/file_util.cpp",
         was=["platform/linux/file_util.cpp"],
         find="::fchmod(fd, mode) == 0 &&",
         replace="::fchmod(fd, mode & 0600) == 0 &&",
         why="rewritten resolv.conf and dconf files become unreadable for ordinary users",
         first=["ResolvConfStore.*", "test_network_settings.py"]),
    dict(id="proxy-owner-unchecked", file="daemon/system/selfcheck.cpp",
         was=["daemon/selfcheck.cpp"],
         find="listening && platform::loopbackPortHeldBy(settings_.proxyUser, settings_.contentFilterPort);",
         replace="listening;",
         why="any user listening on the keyword filter's port gets every browser's pages",
         first=["ProtectionTest.*"]),
    dict(id="listener-wildcard-missed", file="platform/linux/listener_owner.cpp",
         find="return tailIs(loopback, 0) || tailIs(any, 0);",
         replace="return tailIs(loopback, 0);",
         why="a listener on every address, which takes loopback connections too, goes uncounted",
         first=["LoopbackListeners.*"]),
    dict(id="dconf-locks-flip", file="platform/linux/dconf_proxy.cpp",
         find="    if (manual) {\n        const std::string lockText =",
         replace="    if (!manual) {\n        const std::string lockText =",
         why="the proxy keys are locked when our proxy is off and left unlocked when on",
         first=["ProtectionTest.*"]),
    # --- the trusted person's notices ------------------------------------------------------
    dict(id="notice-header-injection", file="daemon/text.cpp",
         was=["daemon/notices/notice_text.cpp", "daemon/notice_text.cpp"],
         find="clean.push_back(byte < 0x20 || byte == 0x7f ? ' ' : c);",
         replace="static_cast<void>(byte), clean.push_back(c);",
         why="a host name with a line break adds its own header (a Bcc) to every notice",
         first=["NoticeTextTest.*"]),
    dict(id="notice-put-back-stream", file="daemon/notices/notice_events.cpp",
         was=["daemon/notice_events.cpp"],
         find="now - last->second < kPutBackEvery",
         replace="now - last->second < 0",
         why="a setting changed by hand again and again sends a notice every 15 seconds",
         first=["NoticeEventsTest.*"]),
    dict(id="notice-asked-stop-told", file="daemon/notices/notice_events.cpp",
         was=["daemon/notice_events.cpp"],
         find="if (!wasAsked && !systemGoingDown) {",
         replace="if (static_cast<void>(wasAsked), !systemGoingDown) {",
         why="a deactivation asked for through Amparo is also told as a silent stop",
         first=["NoticeEventsTest.*"]),
    dict(id="notice-sent-kept", file="daemon/notices/notice_sender.cpp",
         was=["daemon/notice_sender.cpp"],
         find="                queue.remove(notice.id);\n                WeekCounts counts",
         replace="                WeekCounts counts",
         why="a notice the server accepted stays queued and is sent again and again",
         first=["test_notices.py::test_a_refusal_is_retried_once_and_an_outage_keeps_the_order"]),
    # --- wider table: SafeSearch engines --------------------------------------------------
    dict(id="w-safesearch-www-bing", file="daemon/lists/safesearch.cpp",
         find='isDomainOrPrefixed(whole, "bing.com", {"www"})',
         replace='isDomainOrPrefixed(whole, "bing.com", {})',
         why="www.bing.com escapes the SafeSearch rewrite: Bing searches come back unfiltered"),
    dict(id="w-safesearch-bare-bing", file="daemon/lists/safesearch.cpp",
         find='isDomainOrPrefixed(whole, "bing.com", {"www"})',
         replace='isDomainOrPrefixed(whole, "www.bing.com", {"www"})',
         why="bing.com (without www) escapes the SafeSearch rewrite"),
    dict(id="w-safesearch-www-ddg", file="daemon/lists/safesearch.cpp",
         find='{"www", "start"}',
         replace='{"start"}',
         why="www.duckduckgo.com escapes the SafeSearch rewrite"),
    dict(id="w-safesearch-bare-ddg", file="daemon/lists/safesearch.cpp",
         find='isDomainOrPrefixed(whole, "duckduckgo.com", {"www", "start"})',
         replace='isDomainOrPrefixed(whole, "www.duckduckgo.com", {"www", "start"})',
         why="duckduckgo.com (without www) escapes the SafeSearch rewrite"),
    dict(id="w-safesearch-google-country", file="daemon/lists/safesearch.cpp",
         find='".google.co.uk",', replace='".google.co.uj",',
         why="Google searches on google.co.uk are not forced to SafeSearch (a typo in the country list)"),
    dict(id="w-safesearch-refresh-zero", file="daemon/lists/safesearch.cpp",
         find="if (!address || *address == Ipv4{0, 0, 0, 0}) {",
         replace="if (!address) {",
         why="a safe host resolving to 0.0.0.0 (a blocking resolver) replaces its address: searching stops working"),
    dict(id="w-safesearch-bing-builtin", file="daemon/lists/safesearch.h",
         find="kBingBuiltIn{204, 79, 197, 220}", replace="kBingBuiltIn{204, 79, 197, 200}",
         why="before the first refresh Bing is sent to a wrong address: Bing does not load"),
    dict(id="w-safesearch-google-builtin", file="daemon/lists/safesearch.h",
         find="kGoogleBuiltIn{216, 239, 38, 120}", replace="kGoogleBuiltIn{216, 239, 38, 12}",
         why="before the first refresh Google is sent to a wrong address: Google does not load"),
    dict(id="w-safesearch-refresh-rare", file="daemon/daemon.h",
         find="kSafeSearchEveryTicks = 5;", replace="kSafeSearchEveryTicks = 500;",
         why="the safe hosts' addresses are refreshed every eight hours instead of every five minutes: a moved safe host stays broken"),
    # --- wider table: lists ----------------------------------------------------------------
    dict(id="w-hosts-0000-ignored", file="daemon/lists/list_file.cpp",
         find='if (name == "0.0.0.0" || name == "127.0.0.1") {',
         replace='if (name == "127.0.0.1") {',
         why="hosts-format lines starting with 0.0.0.0 lose their name: most downloaded lists block nothing"),
    dict(id="w-hosts-localhost-blocked", file="daemon/lists/list_file.cpp",
         find='"localhost",     "localhost.localdomain",',
         replace='"localhos",      "localhost.localdomain",',
         why="a hosts file's boilerplate 'localhost' line blocks localhost"),
    dict(id="w-list-case-kept", file="daemon/lists/normal_name.cpp",
         find="        out.assign(name);\n        for (char& c : out) {\n            c = text::asciiLower(c);\n        }",
         replace="        out.assign(name);",
         why="a list entry typed with capitals (Example.COM) never matches"),
    dict(id="w-list-trailing-dot", file="daemon/lists/normal_name.cpp",
         find="    if (kept > 0 && name[kept - 1] == '.') {\n        --kept;\n    }",
         replace="",
         why="a list entry written with a trailing dot (example.com.) never matches"),
    dict(id="w-list-bom-half", file="daemon/lists/list_file.cpp",
         find='        if (pending_.starts_with("\\xef\\xbb\\xbf")) {\n            pending_.erase(0, 3);\n        }\n    }\n    takeLines(false);',
         replace='        if (pending_.starts_with("\\xef\\xbb\\xbf")) {\n            pending_.erase(0, 2);\n        }\n    }\n    takeLines(false);',
         why="a list saved with a byte-order mark keeps one byte of it: its first site is never blocked"),
    dict(id="w-block-beats-allow", file="daemon/lists/lists.cpp",
         find="        if (sets->allowed.contains(candidate, hash)) {\n            return false;\n        }\n        if (sets->blocklist.contains(candidate, hash) || sets->custom.contains(candidate, hash)) {\n            return true;\n        }",
         replace="        if (sets->blocklist.contains(candidate, hash) || sets->custom.contains(candidate, hash)) {\n            return true;\n        }\n        if (sets->allowed.contains(candidate, hash)) {\n            return false;\n        }",
         why="a site both on the block list and on the allow list stays blocked (the allow list no longer wins)"),
    dict(id="w-custom-not-blocking", file="daemon/lists/lists.cpp",
         find="if (sets->blocklist.contains(candidate, hash) || sets->custom.contains(candidate, hash)) {",
         replace="if (sets->blocklist.contains(candidate, hash)) {",
         why="the user's own blocked sites (custom.txt) are loaded but never blocked"),
    # --- wider table: caps and limits ------------------------------------------------------
    dict(id="w-tcp-half-descriptors", file="daemon/dns/query_pipeline.cpp",
         find="usable / 4, 1, kMaxTcpConnections", replace="usable / 2, 1, kMaxTcpConnections",
         why="idle TCP clients may hold half the descriptors instead of a quarter, starving forwards"),
    dict(id="w-forwards-ignore-tcp", file="daemon/dns/query_pipeline.cpp",
         find="std::clamp<std::size_t>(usable - std::min(usable, budget.tcpConnections), 1,",
         replace="std::clamp<std::size_t>(usable, 1,",
         why="forwards and TCP clients together may use more descriptors than the process has: queries fail under load"),
    dict(id="w-descriptor-reserve", file="daemon/dns/query_pipeline.cpp",
         find="constexpr std::size_t kDescriptorReserve = 256;", replace="constexpr std::size_t kDescriptorReserve = 16;",
         why="under load nothing is left for the listeners, the self-check and the lists: reloads and probes fail"),
    dict(id="w-forward-cap-max", file="daemon/dns/query_pipeline.cpp",
         find="constexpr std::size_t kMaxForwardCap = 4096;", replace="constexpr std::size_t kMaxForwardCap = 40960;",
         why="a flood may keep tens of thousands of questions waiting upstream at once"),
    dict(id="w-zone-share-half", file="daemon/dns/query_pipeline.cpp",
         find="forwardCap_ / 8, kMinZoneShare, kMaxZoneShare", replace="forwardCap_ / 2, kMinZoneShare, kMaxZoneShare",
         why="one slow domain may hold half the forwards and stall every other name"),
    dict(id="w-zone-share-ceiling", file="daemon/dns/query_pipeline.cpp",
         find="constexpr std::size_t kMaxZoneShare = 64;", replace="constexpr std::size_t kMaxZoneShare = 640;",
         why="one slow domain may hold hundreds of forwards at once"),
    dict(id="w-status-ttl", file="daemon/dns/query_pipeline.cpp",
         find="constexpr std::uint8_t kStatusTtl = 1;", replace="constexpr std::uint8_t kStatusTtl = 60;",
         why="the status name is cached for a minute: Amparo shows the filter running after it stopped"),
    dict(id="w-plain-udp-limit", file="daemon/wire/dns_message.h",
         find="kPlainUdpLimit = 512;", replace="kPlainUdpLimit = 1232;",
         why="a client without EDNS gets UDP replies over 512 bytes and drops them"),
    dict(id="w-doh-body-cap", file="daemon/upstream/doh_client.cpp",
         find="constexpr std::size_t kMaxBody = 65535;", replace="constexpr std::size_t kMaxBody = 512;",
         why="DoH answers over 512 bytes are refused: large answers (many addresses, DNSSEC) fail"),
    dict(id="w-blockpage-max-connections", file="daemon/page/blockpage.h",
         find="std::size_t maxConnections = 128;", replace="std::size_t maxConnections = 4;",
         why="a few browser tabs at once push each other off the block page"),
    dict(id="w-log-size-cap", file="daemon/daemon.h",
         find="kLogSizeCap = 32ULL << 20;", replace="kLogSizeCap = 32ULL << 30;",
         why="a flood of lines may grow the log to 32 GiB between two rotations"),
    dict(id="w-cache-positive-ttl-cap", file="daemon/upstream/cache_wire.h",
         find="kMaxPositiveTtl = 86400;", replace="kMaxPositiveTtl = 864000;",
         why="an answer with a huge TTL is kept ten days instead of one"),
    dict(id="w-cache-negative-ttl-cap", file="daemon/upstream/cache_wire.h",
         find="kMaxNegativeTtl = 3600;", replace="kMaxNegativeTtl = 86400;",
         why="a name that did not exist a moment ago stays nonexistent for a day"),
    dict(id="w-cache-stale-ttl", file="daemon/upstream/answer_cache.h",
         find="kStaleTtl = 30;", replace="kStaleTtl = 3000;",
         why="a stale answer given while upstreams are silent is kept by clients for nearly an hour"),
    # --- wider table: log rate limits ------------------------------------------------------
    dict(id="w-blocklog-per-name-short", file="daemon/dns/block_log.h",
         find="std::chrono::milliseconds perName{1000};", replace="std::chrono::milliseconds perName{100};",
         why="the same blocked name is logged ten times a second; Amparo reacts to each"),
    dict(id="w-blocklog-lines-per-second", file="daemon/dns/block_log.h",
         find="std::size_t linesPerSecond = 50;", replace="std::size_t linesPerSecond = 5000;",
         why="a page retrying blocked names floods the log with thousands of lines a second"),
    dict(id="w-blocklog-new-names-ceiling", file="daemon/dns/block_log.h",
         find="std::size_t linesPerSecondWithNewNames = 500;", replace="std::size_t linesPerSecondWithNewNames = 50000;",
         why="a client inventing names writes tens of thousands of log lines a second"),
    dict(id="w-unanswered-per-name", file="daemon/dns/query_pipeline.h",
         find=".perName = std::chrono::minutes(1),", replace=".perName = std::chrono::seconds(1),",
         why="offline, an unanswered name is logged every second instead of once a minute"),
    # --- wider table: timings and their defaults -------------------------------------------
    dict(id="w-selfcheck-interval", file="daemon/daemon.h",
         find="std::chrono::milliseconds selfCheckInterval{15'000};", replace="std::chrono::milliseconds selfCheckInterval{150'000};",
         why="a dead filter or a hand-changed DNS setting is noticed after minutes instead of 15 seconds"),
    dict(id="w-selfcheck-timeout", file="daemon/daemon.h",
         find="std::chrono::milliseconds selfCheckTimeout{4'000};", replace="std::chrono::milliseconds selfCheckTimeout{40};",
         why="a busy but working filter is judged dead and the machine switched to the backup resolvers"),
    dict(id="w-selfcheck-first", file="daemon/daemon.h",
         find="std::chrono::milliseconds selfCheckFirst{1'000};", replace="std::chrono::milliseconds selfCheckFirst{100'000};",
         why="after a start the first self-check comes only after a minute and a half: a filter that cannot answer keeps the machine without names"),
    dict(id="w-maintenance-interval", file="daemon/daemon.h",
         find="std::chrono::milliseconds maintenanceInterval{60'000};", replace="std::chrono::milliseconds maintenanceInterval{600'000};",
         why="an edited list is picked up after ten minutes instead of one"),
    dict(id="w-blockpage-retry", file="daemon/daemon.h",
         find="std::chrono::milliseconds blockPageRetry{5'000};", replace="std::chrono::milliseconds blockPageRetry{500'000};",
         why="a block page that could not take port 80 retries only after minutes"),
    dict(id="w-blockpage-request-timeout", file="daemon/daemon.h",
         find="std::chrono::milliseconds blockPageRequestTimeout{10'000};", replace="std::chrono::milliseconds blockPageRequestTimeout{1'000'000};",
         why="silent clients hold block page connections for a quarter of an hour"),
    dict(id="w-listener-retry", file="daemon/daemon.h",
         find="std::chrono::milliseconds listenerRetry{2'000};", replace="std::chrono::milliseconds listenerRetry{200'000};",
         why="a DNS listener that lost its port comes back after minutes: names fail meanwhile"),
    dict(id="w-wait-tick", file="daemon/daemon.h",
         find="std::chrono::milliseconds waitTick{15'000};", replace="std::chrono::milliseconds waitTick{150'000};",
         why="a finished wait is carried out minutes late and the countdown seen in Amparo jumps"),
    dict(id="w-upstream-doh-timeout", file="daemon/upstream/upstream.h",
         find="std::chrono::milliseconds dohTimeout{2000};", replace="std::chrono::milliseconds dohTimeout{20000};",
         why="a silent DoH resolver keeps every name waiting 20 s before plain DNS is tried"),
    dict(id="w-upstream-udp-timeout", file="daemon/upstream/upstream.h",
         find="std::chrono::milliseconds udpTimeout{2500};", replace="std::chrono::milliseconds udpTimeout{25000};",
         why="a silent plain resolver keeps names waiting 25 s"),
    dict(id="w-plain-period", file="daemon/upstream/upstream.h",
         find="std::chrono::milliseconds plainPeriod{300'000};", replace="std::chrono::milliseconds plainPeriod{30'000'000};",
         why="after a DoH outage names stay on unencrypted DNS for hours instead of five minutes"),
    dict(id="w-tcp-idle-timeout", file="daemon/dns/dns_tcp_server.h",
         find="std::chrono::milliseconds idleTimeout{10'000};", replace="std::chrono::milliseconds idleTimeout{1'000'000};",
         why="idle TCP clients hold their connection a quarter of an hour"),
    dict(id="w-tcp-write-timeout", file="daemon/dns/dns_tcp_server.h",
         find="std::chrono::milliseconds writeTimeout{5'000};", replace="std::chrono::milliseconds writeTimeout{500'000};",
         why="a client that never reads its reply holds a TCP slot for minutes"),
    # --- wider table: backup resolvers -----------------------------------------------------
    dict(id="w-opendns-not-family", file="daemon/config.h",
         find='kOpenDnsFamilyShieldPrimary = "208.67.222.123";', replace='kOpenDnsFamilyShieldPrimary = "208.67.222.222";',
         why="plain DNS fallback asks OpenDNS's unfiltered resolver: adult sites resolve when Cloudflare is down"),
    dict(id="w-backup-not-family", file="contract/filter.h",
         find='"1.1.1.3", "1.0.0.3",', replace='"1.1.1.1", "1.0.0.3",',
         why="the machine's backup resolver is Cloudflare's unfiltered 1.1.1.1"),
    dict(id="w-backup-v6-missing", file="daemon/system/dns_settings.cpp",
         was=["daemon/system/netconfig.cpp"],
         find="        std::string(resolvers::kCloudflareFamilyPrimaryV6),\n        std::string(resolvers::kCloudflareFamilySecondaryV6),\n    };\n    return servers;",
         replace="    };\n    return servers;",
         why="a stopped filter leaves IPv6-only DNS unset: backup mode lacks the IPv6 family resolvers"),
    dict(id="w-doh-second-missing", file="daemon/config.cpp",
         find="{resolvers::kCloudflareFamilyPrimary, resolvers::kCloudflareFamilySecondary}) {",
         replace="{resolvers::kCloudflareFamilyPrimary}) {",
         why="one DoH resolver down sends every name to plain DNS"),
    # --- wider table: the DNS lock ---------------------------------------------------------
    dict(id="w-dnslock-dot-open", file="daemon/system/dns_lock.cpp",
         find='rules += "\\t\\tmeta l4proto { tcp, udp } th dport 853 reject\\n";',
         replace='rules += "\\t\\tmeta l4proto { udp } th dport 853 reject\\n";',
         why="DNS over TLS (port 853) gets past the filter: Android-style private DNS skips every block"),
    dict(id="w-dnslock-tcp-not-redirected", file="daemon/system/dns_lock.cpp",
         find='for (const char* protocol : {"udp", "tcp"}) {',
         replace='for (const char* protocol : {"udp"}) {',
         why="a program asking a public resolver over TCP port 53 gets past the filter"),
    dict(id="w-dnslock-v6-dns-open", file="daemon/system/dns_lock.cpp",
         find='rules += "\\t\\tip6 daddr != ::1 meta l4proto { tcp, udp } th dport 53 reject\\n";',
         replace="",
         why="DNS over IPv6 to any public resolver gets past the filter"),
    dict(id="w-dnslock-kept-unchecked", file="daemon/system/dns_lock.cpp",
         find="        if (now && *now == appliedListing_) {\n            return;\n        }",
         replace="        if (now) {\n            return;\n        }",
         why="a DNS lock rule deleted by hand is never put back while the table is there"),
    # --- wider table: the wait before loosening --------------------------------------------
    dict(id="w-wait-shorten-immediate", file="daemon/cli/wait_cli.cpp",
         find="longer = seconds >= state.waitSeconds;", replace="longer = seconds != 0;",
         why="shortening the wait to 5 minutes applies at once instead of after the current wait",
         first=["test_wait.py::test_a_shorter_wait_first_waits_out_the_longer_and_nothing_runs_before_its_time"]),
    dict(id="w-wait-ms-per-second", file="daemon/cli/wait_cli.cpp",
         find="change.remainingMs = state.waitSeconds * 1000;", replace="change.remainingMs = state.waitSeconds * 100;",
         why="a change that must wait an hour is carried out after six minutes",
         first=["test_wait.py::test_a_shorter_wait_first_waits_out_the_longer_and_nothing_runs_before_its_time"]),
    dict(id="w-wait-early-run", file="daemon/cli/wait_cli.cpp",
         find="    if (found->remainingMs > 0) {\n        complain(",
         replace="    if (found->remainingMs > 60'000) {\n        complain(",
         why="a pending change can be carried out a minute before its wait is over",
         first=["test_wait.py::test_a_shorter_wait_first_waits_out_the_longer_and_nothing_runs_before_its_time"]),
    dict(id="w-wait-due-alone", file="daemon/cli/wait_cli.cpp",
         find="return c.id <= id && c.remainingMs == 0;", replace="return c.id == id && c.remainingMs == 0;",
         why="a list change and a deactivation due together: the deactivation stops the daemon first and the list change waits until it is switched on again",
         first=["test_wait.py::test_a_shorter_wait_first_waits_out_the_longer_and_nothing_runs_before_its_time"]),
    dict(id="w-wait-new-not-counted", file="daemon/wait/wait_keeper.cpp",
         find="if (change.remainingMs == 0) {\n                    due.push_back(change);",
         replace="if (change.remainingMs <= 1000) {\n                    due.push_back(change);",
         why="a pending change is carried out a tick early, before its wait is over"),
    dict(id="w-wait-choice-off", file="daemon/wait/pending_changes.cpp",
         find="std::find(amparo::wait::kChoices.begin(), amparo::wait::kChoices.end(), seconds)",
         replace="std::find(amparo::wait::kChoices.begin(), amparo::wait::kChoices.end() - 1, seconds)",
         why="the longest wait (a day) is refused: choosing it in Amparo fails, and a stored day's wait reads as damaged"),
    # --- wider table: user lists kept ------------------------------------------------------
    dict(id="w-sites-unblock-now", file="daemon/wait/pending_changes.cpp",
         find="    for (const std::string& name : split.unblock) {\n        split.customNow += name + \"\\n\";\n    }\n    split.allowNow",
         replace="    split.allowNow",
         why="with a wait chosen, a site taken off the blocked list opens at once instead of after the wait"),
    dict(id="w-sites-allow-now", file="daemon/wait/pending_changes.cpp",
         find="split.allowNow = withoutLinesNaming(newAllow, split.allow);",
         replace="split.allowNow = endingInNewline(newAllow);",
         why="with a wait chosen, a newly allowed site opens at once instead of after the wait"),
    # --- wider table: the trusted person's notices -----------------------------------------
    dict(id="w-notice-names-site", file="daemon/wait/pending_changes.cpp",
         find="                                            : phrase + \" a \" + waitText(change.newWaitSeconds);\n    }\n    return phrase;",
         replace="                                            : phrase + \" a \" + waitText(change.newWaitSeconds);\n    }\n    if (change.action == PendingAction::sites && !change.allow.empty()) {\n        phrase += \": \" + change.allow.front();\n    }\n    return phrase;",
         why="the trusted person's mail about a sites change names the site the user wants to open"),
    dict(id="w-notice-first-pause", file="daemon/notices/notice_sender.h",
         find="std::chrono::seconds firstPause{30};", replace="std::chrono::seconds firstPause{3000};",
         why="a notice that failed once is retried only after almost an hour"),
    dict(id="w-notice-longest-pause", file="daemon/notices/notice_sender.h",
         find="std::chrono::seconds longestPause{3600};", replace="std::chrono::seconds longestPause{360000};",
         why="after a long mail outage a notice waits days between tries"),
    dict(id="w-notice-give-up", file="daemon/notices/notice_sender.h",
         find="std::chrono::seconds giveUpAfter{7 * 24 * 3600};", replace="std::chrono::seconds giveUpAfter{24 * 3600};",
         why="a notice not sent within a day is dropped instead of kept a week"),
    dict(id="w-notice-attempt-timeout", file="daemon/notices/notice_sender.h",
         find="std::chrono::seconds attemptTimeout{30};", replace="std::chrono::seconds attemptTimeout{3};",
         why="a slow mail server never gets a notice: every try is cut after 3 s"),
    dict(id="w-notice-no-backoff", file="daemon/notices/notice_sender.cpp",
         find="        pause *= 2;", replace="        pause *= 1;",
         why="a failing notice is retried every 30 seconds for good, hammering the mail server"),
    dict(id="w-notice-put-back-gap", file="daemon/notices/notice_events.cpp",
         find="constexpr std::int64_t kPutBackEvery = 3600;", replace="constexpr std::int64_t kPutBackEvery = 36;",
         why="a setting changed by hand again and again sends a notice every minute"),
    dict(id="w-notice-week-summary", file="daemon/notices/notice_events.cpp",
         find="constexpr std::int64_t kWeek = 7 * 24 * 3600;", replace="constexpr std::int64_t kWeek = 24 * 3600;",
         why="the trusted person gets the weekly summary every day"),
    dict(id="w-notice-stop-asked-window", file="daemon/notices/notice_events.cpp",
         find="constexpr std::int64_t kStopAskedFor = 600;", replace="constexpr std::int64_t kStopAskedFor = 6;",
         why="a deactivation asked through Amparo that takes more than a few seconds is told as a silent stop"),
    # --- wider table: block page -----------------------------------------------------------
    dict(id="w-blockpage-redirect-cached", file="daemon/page/page_response.cpp",
         was=["daemon/page/blockpage.cpp"],
         find='"\\r\\nReferrer-Policy: no-referrer\\r\\nContent-Length: 0\\r\\nCache-Control: "\n        "no-store\\r\\nConnection: close\\r\\n\\r\\n";',
         replace='"\\r\\nReferrer-Policy: no-referrer\\r\\nContent-Length: 0\\r\\nConnection: close\\r\\n\\r\\n";',
         why="the browser keeps the redirect to the stop page: an allowed site still lands on it"),
    dict(id="w-blockpage-referrer-leaks", file="daemon/page/page_response.cpp",
         was=["daemon/page/blockpage.cpp"],
         find='"\\r\\nReferrer-Policy: no-referrer\\r\\nContent-Length: 0\\r\\nCache-Control: "',
         replace='"\\r\\nContent-Length: 0\\r\\nCache-Control: "',
         why="the stop page is told which blocked site the user tried (referrer sent along)"),
    dict(id="w-redirect-local-case", file="daemon/page/redirect.cpp",
         find='text::equalsIgnoringAsciiCase(*setting, "local")', replace='*setting == "local"',
         why="redirect.txt saying 'Local' sends blocks to the built-in stop page on the web instead of the local page"),
    dict(id="w-redirect-comment-taken", file="daemon/page/redirect.cpp",
         find="if (line.empty() || line.front() == '#') {", replace="if (line.empty()) {",
         why="a comment at the top of redirect.txt makes the block destination fall back to the default"),
    dict(id="w-blockpage-host-dash", file="daemon/page/http_request.cpp",
         was=["daemon/page/blockpage.cpp"],
         find="c == '-' || c == ':';", replace="c == ':';",
         why="the block page shows 'my-site.com' as 'mysite.com'"),
    # --- wider table: the self-check -------------------------------------------------------
    dict(id="w-selfcheck-any-reply", file="daemon/system/selfcheck.cpp",
         find="                const bool good =\n                    !received && isRightStatusReply(std::span(probe->reply.data(), length),\n                                                    config_.statusAddress);",
         replace="                const bool good = !received && length > 0;",
         why="a filter answering the status name wrongly (or a stranger on the port) counts as healthy"),
    dict(id="w-selfcheck-dns-not-put-back", file="daemon/system/selfcheck.cpp",
         find='const bool dnsPutBack = net_.setDNSMode(DNSMode::local, "el filtro responde");',
         replace="const bool dnsPutBack = false;",
         why="DNS changed by hand away from the filter is never put back while the filter runs"),
    dict(id="w-selfcheck-lock-not-kept", file="daemon/system/selfcheck.cpp",
         find="    lock_.keep(LockMode::local);\n",
         replace="",
         why="the DNS lock deleted by hand (or never applied after a start) is not put back"),
    dict(id="w-selfcheck-put-back-untold", file="daemon/system/selfcheck.cpp",
         find="    if (enforcedOnce_ && dnsPutBack && putBack_) {",
         replace="    if (!enforcedOnce_ && dnsPutBack && putBack_) {",
         why="DNS changed by hand and put back is never told to the trusted person, while the first setting at start is"),
    # --- guards the suite keeps for their own sake: each now has its fault ---------------
    dict(id="w-cache-lru-ignored", file="daemon/upstream/answer_cache.cpp",
         find="        entries_.splice(entries_.begin(), entries_, entry);\n", replace="",
         why="an answer asked again and again is evicted first, as if never used: the cache drops what people use most",
         first=["AnswerCache.*"]),
    dict(id="w-list-fifo-blocks", file="daemon/lists/list_file.cpp",
         find="::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)", replace="::open(path.c_str(), O_RDONLY | O_CLOEXEC)",
         why="a FIFO put where a list belongs stalls the list reload for good",
         first=["ListFileOnDisk.*"]),
    dict(id="w-person-control-taken", file="daemon/notices/trusted_person.cpp",
         find="if (equals == std::string_view::npos || hasControl(line)) {", replace="if (equals == std::string_view::npos || (false && hasControl(line))) {",
         why="a trusted person's setting with a carriage return or an escape byte is saved and goes into every notice",
         first=["TrustedPersonTest.*"]),
    dict(id="w-wait-same-change-twice", file="daemon/wait/pending_changes.cpp",
         find="if (pending.sameRequestAs(change)) {", replace="if (false) {",
         why="asking for the same change twice queues it twice: two countdowns, two notices, the change made twice",
         first=["WaitStateFile.*"]),
]

# The tray application's core, its view logic and its views, run with --app
# against app_tests, ui_tests and the Qt Quick tests, and last the desktop
# tests (the tray over D-Bus under Xvfb). The same rules as above.
APP_BINARIES = ("app_tests", "ui_tests")
APP_MUTANTS = [
    # --- the protection state ------------------------------------------------------------
    dict(id="state-dead-filter-as-fallback", file="app/core/snapshot.cpp",
         find="isFilterList)) {\n            return Protection::offline;",
         replace="isFilterList)) {\n            return Protection::fallback;",
         why="a machine pointed at a dead filter shows as safely on the backup resolvers",
         first=["StateDecision.*"]),
    dict(id="state-unknown-primary-active", file="app/core/snapshot.cpp",
         find="isFilterList) &&\n        inputs.serviceServers.primaryKnown) {",
         replace="isFilterList)) {",
         why="protection shows active although the service in use is not known",
         first=["StateDecision.*", "Gathering.*"]),
    dict(id="backup-list-prefix", file="app/core/snapshot.cpp",
         find="std::begin(kBackupServers), std::end(kBackupServers),",
         replace="std::begin(kBackupServers),",
         why="part of the backup resolvers (or none) is read as the whole backup set",
         first=["StateDecision.*"]),
    dict(id="probe-any-reply", file="app/core/daemon_probe.cpp",
         was=["app/core/probe.cpp"],
         find="reply[0] == (id >> 8) &&\n                       reply[1] == (id & 0xff)",
         replace="true",
         why="any datagram on the port counts as the filter answering",
         first=["DaemonProbe.*"]),
    # --- the user's lists ------------------------------------------------------------------
    dict(id="list-comment-taken", file="app/core/list_files.cpp",
         was=["app/core/probe.cpp"],
         find="if (!entry.empty() && entry.front() != '#') {",
         replace="if (!entry.empty()) {",
         why="comment lines of the user's lists show as sites",
         first=["ListReader.*"]),
    dict(id="list-bom-kept", file="app/core/list_files.cpp",
         was=["app/core/probe.cpp"],
         find='if (text.starts_with("\\xEF\\xBB\\xBF")) {',
         replace="if (false) {",
         why="after an editor's byte-order mark a comment on the first line counts as a site",
         first=["ListReader.*"]),
    dict(id="site-www-kept", file="app/ui/sites_view.cpp",
         find='if (site.startsWith(QLatin1String("www."))) {',
         replace="if (false) {",
         why="www.example.com is stored as typed, and example.com stays open",
         first=["NormalizedSite.*"]),
    dict(id="site-leading-dash", file="app/ui/sites_view.cpp",
         find="site.startsWith(u'-') ||",
         replace="",
         why="text that is no site name is taken into the lists",
         first=["NormalizedSite.*"]),
    dict(id="permit-any-scheme", file="app/ui/sites_view.cpp",
         find="!link.startsWith(kPermitLinkStart, Qt::CaseInsensitive)) {",
         replace="!link.contains(QLatin1String(\"permitir?sitio=\"))) {",
         why="a link of any scheme or shape opens the sheet with a site in Permitidos",
         first=["PermitLink.*"]),
    dict(id="permit-host-cut", file="app/ui/sites_view.cpp",
         find="if (!std::all_of(host.begin(), host.end(), isLinkHostCharacter)) {",
         replace="if (!std::all_of(host.begin(), host.end(), [](QChar c) { return isLinkHostCharacter(c) || c != u' '; })) {",
         why="a link's host with a path or a second parameter is cut down to some other site",
         first=["PermitLink.*"]),
    dict(id="permit-before-lists", file="app/ui/sites_view.cpp",
         find="if (model_.snapshot().protection != Protection::checking) {",
         replace="if (true) {",
         why="a link at start-up opens the sheet on empty lists, and saving wipes the user's sites",
         first=["SitesSheet.*"]),
    dict(id="hand-over-prefix", file="app/ui/instance_channel.cpp",
         find="if (text == kShowLine) {",
         replace="if (text.startsWith(kShowLine)) {",
         why="any line a local peer sends that begins with the word is obeyed",
         first=["InstanceChannel.*"]),
    # --- root commands ---------------------------------------------------------------------
    # (An earlier row opened the shell quoting of staged paths: root now takes
    # fixed verbs and the lists on standard input, so there is no quoting left.)
    dict(id="pkexec-input-dropped", file="app/core/privileged.cpp",
         find="    process->write(input);\n",
         replace="    process->write(input.first(0));\n",
         why="the sites and the block page never reach root: saving writes empty lists",
         first=["PkexecRunner.*"]),
    dict(id="pkexec-dismissed-as-failure", file="app/core/privileged.cpp",
         find="exitCode == kDialogDismissed) {",
         replace="exitCode == kDialogDismissed + 1) {",
         why="closing the password dialog is reported as an error",
         first=["PkexecClassify.*"]),
    dict(id="pkexec-crash-as-outcome", file="app/core/privileged.cpp",
         find="if (exitStatus == QProcess::CrashExit) {",
         replace="if (false) {",
         why="a command killed half-way is reported by its exit code, as success",
         first=["PkexecClassify.*"]),
    dict(id="deactivate-without-consent", file="app/core/actions.cpp",
         find='!dialogs_.confirm(QStringLiteral("¿Desactivar la protección?"),',
         replace='dialogs_.confirm(QStringLiteral("¿Desactivar la protección?"),',
         why="protection goes off although the user said no",
         first=["ActionsTest.*"]),
    # (An earlier row dropped the busy check of "Recuperar internet" alone: runAction
    # checks again, so nothing could tell the two apart.)
    dict(id="no-refresh-after-run", file="app/core/actions.cpp",
         find="            completion(result);\n            model_.refresh();",
         replace="            completion(result);",
         why="the window keeps the state from before the action (\"Activar\" after activating)",
         first=["ActionsTest.*"]),
    # --- block reaction and the outside world ----------------------------------------------
    dict(id="watcher-truncation-missed", file="app/core/block_watcher.cpp",
         find="if (info.st_size < offset_ || !tailUnchanged()) {",
         replace="if (info.st_size < offset_) {",
         why="a log truncated in place and grown past the old size is read from the middle",
         first=["BlockWatcherTest.*"]),
    dict(id="watcher-slice-unbounded", file="app/core/block_watcher.cpp",
         find="QByteArray bytes(qMin(pending, kSliceBytes), Qt::Uninitialized);",
         replace="QByteArray bytes(pending, Qt::Uninitialized);",
         why="a huge append is read in one go, freezing the tray",
         first=["BlockWatcherTest.*"]),
    dict(id="custom-page-without-host", file="app/core/snapshot.cpp",
         find="if (!url.isValid() || url.host().isEmpty()) {",
         replace="if (!url.isValid()) {",
         why="a block destination without a host is opened",
         first=["BlockDestinationRule.*"]),
    dict(id="weburl-userinfo", file="app/core/updater.cpp",
         find="url.host().isEmpty() || !url.userInfo().isEmpty()) {",
         replace="url.host().isEmpty()) {",
         why="https://www.amparo-filtro.org@x.example/ is opened as if it were the site",
         first=["WebUrl.*"]),
    dict(id="weburl-http-anywhere", file="app/core/updater.cpp",
         find='return url.scheme() == u"http" &&\n           (url.host() == u"localhost" || QHostAddress(url.host()).isLoopback());',
         replace='return url.scheme() == u"http";',
         why="an update feed or download page over plain http from the network is trusted",
         first=["WebUrl.*", "AppcastFeed.*"]),
    dict(id="feed-size-unbounded", file="app/core/updater.cpp",
         find="if (bytes.size() > kMaxFeedBytes) {\n        return std::nullopt;",
         replace="if (false) {\n        return std::nullopt;",
         why="an oversized feed is parsed",
         first=["AppcastFeed.*"]),
    dict(id="updater-no-deadline", file="app/core/updater.cpp",
         find="    deadline_->start(timeout_);\n",
         replace="",
         why="a silent update server leaves the check running for good",
         first=["UpdaterServed.*"]),
    dict(id="watcher-burst-each", file="app/core/block_watcher.cpp",
         find="if (lastNotice_ && now - *lastNotice_ < gap_) {",
         replace="if (false) {",
         why="a burst of blocked names opens a browser tab for each",
         first=["BlockWatcherTest.*"]),
    dict(id="watcher-marker-anywhere", file="app/core/block_watcher.cpp",
         find="const qsizetype stampEnd = line.startsWith('[') ? line.indexOf(\"] \") : -1;",
         replace="const qsizetype stampEnd = line.indexOf(kBlockMarker) - 2;",
         why='a "SIN RESPUESTA … a BLOQUEADO b" line opens the block page',
         first=["BlockWatcherTest.*"]),
    dict(id="watcher-empty-name", file="app/core/block_watcher.cpp",
         find="    if (name.isEmpty()) {\n        return;\n    }\n",
         replace="",
         why="a marker without a name opens the block page for no site",
         first=["BlockWatcherTest.*"]),
    dict(id="watcher-rotation-missed", file="app/core/block_watcher.cpp",
         find="    events_->addPath(QFileInfo(path_).absolutePath());\n",
         replace="",
         why="once logrotate renames the log, blocks go unnoticed",
         first=["BlockWatcherTest.*"]),
    dict(id="model-no-second-look", file="app/core/model.cpp",
         find="if (snapshot.protection == Protection::offline && pause(timings_.secondOpinion)) {",
         replace="if (false) {",
         why="a filter restarting for a moment shows \"Sin internet\"",
         first=["ModelRefresh.*"]),
    dict(id="pkexec-left-running", file="app/core/privileged.cpp",
         find="        process->kill();\n",
         replace="",
         why="quitting Amparo leaves its root command or password prompt running",
         first=["PkexecRunner.*"]),
    dict(id="menu-repair-and-update", file="app/core/status_menu.cpp",
         find="snapshot.installed && snapshot.protection != Protection::notUsed && snapshot.outdated",
         replace="snapshot.installed && snapshot.outdated",
         why="two menu rows, \"Reparar\" and \"Actualizar\", for one and the same run",
         first=["StatusMenu.*"]),
    dict(id="servers-disabled-counted", file="app/core/service_servers.cpp",
         was=["app/core/probe.cpp"],
         find="        if (!service.enabled) {\n            continue;\n        }\n",
         replace="",
         why="a switched-off connection's DNS makes the state \"no usa el filtro\"",
         first=["ServiceServersReading.*"]),
    dict(id="saved-site-line-break", file="app/core/actions.cpp",
         find="if (!trimmed.isEmpty() && !hasControlCharacter(trimmed)) {",
         replace="if (!trimmed.isEmpty() && (true || !hasControlCharacter(trimmed))) {",
         why="a site with a line break writes two entries into custom.txt",
         first=["ActionsTest.*"]),
    dict(id="saved-comment-line-break", file="app/core/actions.cpp",
         find="return hasControlCharacter(line.remove(u'\\t'));",
         replace="return hasControlCharacter(line.remove(u'\\t')) && false;",
         why="a comment with U+2028 reaches root, which refuses every save from then on",
         first=["ActionsTest.*"]),
    # --- the trusted person and the desktop's notifications --------------------------------
    dict(id="notices-reply-without-fin", file="app/core/trusted_person.cpp",
         find='return std::nullopt;  // a line cut short, or no "fin"',
         replace="return personSeen && countSeen ? std::optional(notices) : std::nullopt;",
         why="a notices reply cut short is taken, and a half-read person shown as the daemon's",
         first=["NoticesReplyParser.*"]),
    dict(id="person-password-in-clear", file="app/core/trusted_person.cpp",
         find="if (form.security == MailSecurity::none && !(user.isEmpty() && form.password.isEmpty())) {",
         replace="if (false) {",
         why="a login is saved for a server reached without encryption",
         first=["TrustedPersonForm.*"]),
    dict(id="test-mail-unbounded", file="app/core/actions.cpp",
         find="QTimer::singleShot(testMailTimeout_, process, [process, deliver] {",
         replace="QTimer::singleShot(testMailTimeout_ * 1000, process, [process, deliver] {",
         why="a mail server that never answers keeps \"Enviar prueba\" waiting for good",
         first=["ActionsTest.*"]),
    dict(id="notice-flap-unguarded", file="app/core/notifications.cpp",
         find="announced_ && now - announced_->second < kFlapGuard && rank <= announced_->first;",
         replace="false;",
         why="a filter that falls back and recovers over and over notifies each time",
         first=["NotificationPolicy.*"]),
    dict(id="notice-any-change", file="app/core/notifications.cpp",
         find="if (last_ && rank > protectionRank(*last_) && !flapping) {",
         replace="if (last_ && rank != protectionRank(*last_) && !flapping) {",
         why="a repaired protection is announced like a broken one",
         first=["NotificationPolicy.*", "desktop/test_notifications.py"]),
    dict(id="notice-silent-daemon-due", file="app/core/notifications.cpp",
         find="    if (snapshot.waitSeconds) {\n        followPending",
         replace="    if (true) {\n        followPending",
         why="a daemon that did not answer makes every pending change look carried out",
         first=["NotificationPolicy.*"]),
    # --- the tray, as a panel sees it (desktop tests) --------------------------------------
    dict(id="tray-menu-stale", file="app/tray.cpp",
         find="    connect(menu_, &QMenu::aboutToShow, this, &Tray::rebuildMenu);\n",
         replace="",
         why="the tray menu offers the actions of the state Amparo started in",
         first=["desktop/test_tray.py"]),
    dict(id="tray-icon-fixed", file="app/tray.cpp",
         find="icon_.setIcon(trayIcon(protection));",
         replace="icon_.setIcon(trayIcon(Protection::notInstalled));",
         alt=[("icon_.setIcon(trayIcon(snapshot.protection));",
               "icon_.setIcon(trayIcon(Protection::notInstalled));")],
         why="the panel's shield looks the same whatever the protection",
         first=["desktop/test_tray.py"]),
    # --- the views (Qt Quick tests) --------------------------------------------------------
    dict(id="sites-return-ignored", file="app/ui/qml/SiteListEditor.qml",
         find="onAccepted: editor.model.addDraft()",
         replace="onAccepted: {}",
         why="a site typed and confirmed with Return is never added",
         first=["qml"]),
    dict(id="sites-escape-ignored", file="app/ui/qml/SitesView.qml",
         find="onActivated: root.sheet.cancel()",
         replace="onActivated: {}",
         why="Escape leaves the sites sheet open over the window",
         first=["qml"]),
    dict(id="sites-save-without-change", file="app/ui/qml/SitesView.qml",
         find="enabled: root.sheet.hasChanges",
         replace="enabled: true",
         why="\"Guardar\" asks for the password with nothing to save",
         first=["qml"]),
    dict(id="keyword-switch-asks-nothing", file="app/ui/qml/SettingsSection.qml",
         find="section.view.setKeywordFilter(checked)",
         replace="void checked",
         why="the keyword switch moves but never asks for the filter",
         first=["qml"]),
    # --- wider table: block reaction, markers shared with the daemon and the root wrapper --
    dict(id="w-app-block-gap-9s", file="app/core/block_reaction.h",
         find="std::chrono::milliseconds gap = std::chrono::seconds(90),",
         replace="std::chrono::milliseconds gap = std::chrono::seconds(9),",
         alt=[("inline constexpr std::chrono::seconds kBlockPageGap{90};",
               "inline constexpr std::chrono::seconds kBlockPageGap{9};")],
         why="a page with many blocked parts opens the block page every 9 seconds instead of once in 90"),
    dict(id="w-app-block-gap-restarted", file="app/core/block_watcher.cpp",
         find="    if (lastNotice_ && now - *lastNotice_ < gap_) {\n        return;\n    }\n    lastNotice_ = now;",
         replace="    const bool recent = lastNotice_ && now - *lastNotice_ < gap_;\n    lastNotice_ = now;\n    if (recent) {\n        return;\n    }",
         why="blocks coming in under 90 s apart keep pushing the gap on: the block page never opens again"),
    dict(id="w-app-block-name-rest", file="app/core/block_watcher.cpp",
         find="    if (const qsizetype space = name.indexOf(' '); space >= 0) {\n        name = name.first(space);\n    }",
         replace="",
         why="a block line with more after the name reports the whole tail as the site"),
    dict(id="w-app-block-stamp-space", file="app/core/block_watcher.cpp",
         find='const qsizetype stampEnd = line.startsWith(\'[\') ? line.indexOf("] ") : -1;',
         replace='const qsizetype stampEnd = line.startsWith(\'[\') ? line.indexOf("] ") + 1 : -1;',
         why="the daemon's block lines are read one byte off: no block ever opens the page"),
    dict(id="w-app-admin-marker", file="app/core/privileged.h",
         find='static constexpr const char* kMarker = "AMPARO-AUTORIZADO";',
         replace='static constexpr const char* kMarker = "AMPARO-AUTORIZADA";',
         why="every password-confirmed action is reported as not authorised: the root wrapper's marker is never recognised"),
    dict(id="w-app-allow-separator", file="app/core/privileged.h",
         find='kAllowListSeparator = "[permitidos]";', replace='kAllowListSeparator = "[permitido]";',
         why="saving the sites sends the allowed sites into the blocked list (the separator line is misspelled)"),
    dict(id="w-app-status-address", file="app/core/probe.cpp",
         find="addresses && *addresses == QStringList{qtext(kStatusAddress)};",
         replace="addresses && !addresses->isEmpty();",
         why="a machine resolving through any DNS that answers the status name shows protection active"),
    dict(id="w-app-backup-any-order", file="app/core/snapshot.cpp",
         find="return servers.size() == 1 && servers.front() == qtext(kFilterServer);",
         replace="return !servers.isEmpty() && servers.front() == qtext(kFilterServer);",
         why="a connection with the filter first and an unfiltered resolver after it shows as protected"),
    dict(id="w-app-local-page-case", file="app/core/snapshot.cpp",
         find='if (redirectLine->toLower() == QLatin1String("local")) {',
         replace='if (*redirectLine == QLatin1String("local")) {',
         why="a block destination written 'Local' shows and opens as the web stop page instead of the local page"),
    # --- wider table: the app's default timings and bounds --------------------------------
    dict(id="w-app-second-opinion", file="app/core/model.h",
         find="std::chrono::milliseconds secondOpinion{2000};", replace="std::chrono::milliseconds secondOpinion{20};",
         why="a filter restarting shows 'Sin internet' for a moment (the second look comes at once)"),
    dict(id="w-app-notice-shown", file="app/core/model.h",
         find="std::chrono::milliseconds notice{4000};", replace="std::chrono::milliseconds notice{400};",
         why="the window's notices vanish before they can be read"),
    dict(id="w-app-probe-timeout", file="app/core/probe_settings.h",
         was=["app/core/probe.h"],
         find="std::chrono::milliseconds probeTimeout{700};", replace="std::chrono::milliseconds probeTimeout{7};",
         why="on a busy machine the filter is shown as not answering"),
    dict(id="w-app-flap-guard", file="app/core/notifications.h",
         find="kFlapGuard{10};", replace="kFlapGuard{1};",
         why="a filter flapping every few minutes notifies the desktop each time"),
    dict(id="w-app-update-timeout", file="app/core/updater.h",
         find="kUpdateTimeout = std::chrono::seconds(15);", replace="kUpdateTimeout = std::chrono::seconds(1500);",
         why="a silent update server keeps 'Buscar actualizaciones' busy for 25 minutes"),
    dict(id="w-app-feed-bytes", file="app/core/updater.h",
         find="kMaxFeedBytes = 1024 * 1024;", replace="kMaxFeedBytes = 1024 * 1024 * 1024;",
         why="a gigabyte-sized update feed is read into memory"),
    dict(id="w-app-feed-redirects", file="app/core/updater.h",
         find="kMaxFeedRedirects = 3;", replace="kMaxFeedRedirects = 300;",
         why="an update server bouncing redirects keeps the check running"),
    dict(id="w-app-test-mail-timeout", file="app/core/actions.h",
         was=["app/core/actions.cpp"],
         find="kTestMailTimeout{60};", replace="kTestMailTimeout{6000};",
         why="a silent mail server keeps 'Enviar prueba' waiting for over an hour"),
    dict(id="w-app-cancel-timeout", file="app/core/actions.h",
         was=["app/core/actions.cpp"],
         find="kCancelTimeout{3};", replace="kCancelTimeout{300};",
         why="cancelling pending changes with a stuck daemon freezes Amparo for minutes"),
    dict(id="w-app-pkexec-kill-wait", file="app/core/privileged.h",
         was=["app/core/privileged.cpp"],
         find="constexpr int kKillWaitMs = 2000;", replace="constexpr int kKillWaitMs = 200000;",
         why="quitting Amparo with a root command running hangs for minutes"),
    # --- wider table: the wait and the trusted person as Amparo reads them ----------------
    dict(id="w-app-first-due-latest", file="app/core/wait.cpp",
         find="[](const auto& a, const auto& b) { return a.secondsLeft < b.secondsLeft; });",
         replace="[](const auto& a, const auto& b) { return a.secondsLeft > b.secondsLeft; });",
         why="the window shows the last pending change as the next one due"),
    dict(id="w-app-sites-count-one", file="app/core/wait.cpp",
         find="return change.value == 1 ? QStringLiteral(\"El cambio de sitios se aplicará\") + in",
         replace="return change.value != 1 ? QStringLiteral(\"El cambio de sitios se aplicará\") + in",
         why="one pending site change is worded as several, and several as one"),
    dict(id="w-app-wait-choice-label", file="app/core/wait.cpp",
         find='return seconds == 0 ? QStringLiteral("Sin espera") : waitDuration(seconds);',
         replace='return waitDuration(seconds);',
         why="the no-wait choice reads as a duration of zero instead of 'Sin espera'"),
    dict(id="w-app-person-address-cap", file="app/core/trusted_person.cpp",
         find="constexpr qsizetype kMaxAddressBytes = 254;", replace="constexpr qsizetype kMaxAddressBytes = 25;",
         why="an ordinary long mail address for the trusted person is refused"),
    dict(id="w-app-notices-reply-cap", file="app/core/trusted_person.cpp",
         find="constexpr std::size_t kMaxNoticesReplyBytes = 8 * 1024;", replace="constexpr std::size_t kMaxNoticesReplyBytes = 64;",
         why="the daemon's notices reply is cut: the trusted person never shows"),
    # --- wider table: the user's lists as Amparo reads and saves them ---------------------
    dict(id="w-app-save-drops-comments", file="app/core/actions.cpp",
         find="if (line.startsWith(u'#') && !breaksLine(line)) {",
         replace="if (line.startsWith(u\"##\") && !breaksLine(line)) {",
         why="saving the sites in Amparo wipes the notes (comment lines) the user kept in custom.txt and allow.txt"),
    dict(id="w-app-save-keeps-removed", file="app/core/actions.cpp",
         find="if (line.startsWith(u'#') && !breaksLine(line)) {",
         replace="if (!line.startsWith(u'#') && !breaksLine(line)) {",
         why="a site removed in Amparo stays in the list after saving (old lines kept instead of the notes)"),
    dict(id="w-app-save-crlf-kept", file="app/core/actions.cpp",
         find="            if (line.endsWith(u'\\r')) {\n                line.chop(1);\n            }",
         replace="",
         why="a list edited on Windows keeps a carriage return on every kept line after a save"),
    dict(id="w-app-save-allowed-to-custom", file="app/core/actions.cpp",
         find='listFileText(paths_.data(QStringLiteral("allow.txt")), allowed).toUtf8();',
         replace='listFileText(paths_.data(QStringLiteral("custom.txt")), allowed).toUtf8();',
         why="saving the sites copies custom.txt's notes into allow.txt and drops allow.txt's own"),
    dict(id="w-app-site-trailing-dot", file="app/ui/sites_view.cpp",
         find="    while (site.endsWith(u'.')) {\n        site.chop(1);\n    }",
         replace="",
         why="a site typed with a trailing dot (example.com.) is refused"),
    dict(id="w-app-site-case", file="app/ui/sites_view.cpp",
         find="QString site = text.trimmed().toLower();", replace="QString site = text.trimmed();",
         why="a site typed with capitals (Example.com) is refused"),
    dict(id="w-app-site-port-kept", file="app/ui/sites_view.cpp",
         find="    if (const qsizetype port = site.indexOf(u':'); port >= 0) {\n        site.truncate(port);\n    }",
         replace="",
         why="a pasted address with a port (example.com:8080) is refused"),
    dict(id="w-app-list-crlf-kept", file="app/core/list_files.cpp",
         was=["app/core/probe.cpp"],
         find='constexpr std::string_view kBlank = " \\t\\r";', replace='constexpr std::string_view kBlank = " \\t";',
         why="a list edited on Windows shows every site with a stray carriage return; they never match the user's edits"),
    # --- guards the suite keeps for their own sake: each now has its fault ---------------
    dict(id="w-app-cancel-failure-as-done", file="app/core/actions.cpp",
         find="    if (cancelled) {\n        model_.showNotice(cancelledNotice(*cancelled));",
         replace="    if (true) {\n        model_.showNotice(cancelledNotice(cancelled.value_or(1)));",
         why="a cancel the daemon never answered is reported as done: the change still runs when its wait is over",
         first=["ActionsTest.*"]),
    dict(id="w-app-watcher-fifo-hangs", file="app/core/block_watcher.cpp",
         find="::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)",
         replace="::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)",
         why="a FIFO put in the log's place hangs the block watcher: blocks go unnoticed for good",
         first=["BlockWatcherTest.*"]),
    dict(id="w-app-wait-failure-escape", file="app/core/wait.cpp",
         find="if (!isId(id) || why.empty() || !isPrintable(why) || change == reply.pending.end()) {",
         replace="if (!isId(id) || why.empty() || change == reply.pending.end()) {",
         why="a failure text with escape bytes from the wait socket is shown in the window as it came",
         first=["WaitReplyParser.*"]),
    dict(id="w-app-test-mail-refusal-sent", file="app/core/trusted_person.cpp",
         find='            return {false, either("No se pudo enviar el correo de prueba.")};',
         replace='            return {true, either("No se pudo enviar el correo de prueba.")};',
         why="a test mail the server refused is shown as sent: the trusted person would never hear",
         first=["TrustedPersonTexts.*"]),
    dict(id="w-app-page-line-break", file="app/core/dialogs.cpp",
         find="    if (std::any_of(address.begin(), address.end(), isLineBreak)) {",
         replace="    if (false && std::any_of(address.begin(), address.end(), isLineBreak)) {",
         why="a block page address with a Unicode line break is offered to root for redirect.txt, which refuses the save",
         first=["AddressRule.*"]),
    dict(id="w-app-page-no-host", file="app/core/dialogs.cpp",
         find="if (!url.isValid() || url.host().isEmpty()) {", replace="if (!url.isValid()) {",
         why="'https://' alone is taken as the block page: every block opens an empty address",
         first=["AddressRule.*"]),
]

# The installer scripts, against the installer tests on the throw-away machine
# (the booted Debian of tests/system is left out: a boot per fault).
SCRIPT_MUTANTS = [
    dict(id="upgrade-empties-lists", file="scripts/installer/install.sh",
         find="if [[ ! -e $DATA_DIR/$list ]]; then",
         replace="if true; then",
         why="an upgrade empties the user's custom.txt and allow.txt",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="port-53-unchecked", file="scripts/installer/install.sh",
         find="    check_ports\n    check_resolver\n",
         replace="    check_resolver\n",
         why="installing beside another DNS server on 127.0.0.1:53 or a web server on :80",
         first=["test_install_flow.py::test_a_refusal_is_explained_and_changes_nothing"]),
    dict(id="mask-unchecked", file="scripts/installer/install.sh",
         find='if [[ -L $UNIT_FILE && $(readlink "$UNIT_FILE") == /dev/null ]]; then',
         replace="if false; then",
         why="a masked service is installed over, and fails without saying why",
         first=["test_install_flow.py::test_a_refusal_is_explained_and_changes_nothing"]),
    dict(id="give-up-without-backup", file="scripts/installer/install.sh",
         find='    run_tool "$DATA_DIR/trancad" --dns respaldo >/dev/null 2>&1 || true\n',
         replace="",
         why="a filter that never answers leaves the machine pointed at a dead 127.0.0.1",
         first=["test_install_flow.py::test_a_filter_that_never_answers_fails_and_leaves_working_dns"]),
    dict(id="first-list-not-downloaded", file="scripts/installer/install.sh",
         find="if [[ ! -s $DATA_DIR/blocklist.txt ]]; then",
         replace="if false; then",
         why="the first activation runs without the block list",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="uninstall-keeps-data", file="scripts/installer/uninstall.sh",
         find='rm -rf "$DATA_DIR" || fail',
         replace='true || fail',
         why="uninstalling leaves /var/lib/tranca behind",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="root-unchecked", file="scripts/installer/common.sh",
         find="if [[ $(id -u) -ne 0 ]]; then",
         replace="if false; then",
         why="a script run without root half-changes the machine instead of refusing",
         first=["test_install_flow.py::test_a_refusal_is_explained_and_changes_nothing"]),
    dict(id="disable-keeps-filter-dns", file="scripts/installer/common.sh",
         find='if [[ -e $DATA_DIR/dns-original.plist ]] || dns_is_ours "$tool"; then',
         replace="if false; then",
         why="disabling leaves the machine's DNS pointed at the stopped filter",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="second-disable-clobbers", file="scripts/installer/common.sh",
         find='if [[ -e $DATA_DIR/dns-original.plist ]] || dns_is_ours "$tool"; then',
         replace="if true; then",
         why="a second disable without the record takes away the DNS the first gave back",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="log-private", file="scripts/installer/common.sh",
         find='(umask 0022 && touch "$LOG_FILE") && chmod 0644 "$LOG_FILE"',
         replace='(umask 0022 && touch "$LOG_FILE") && chmod 0600 "$LOG_FILE"',
         why="Amparo, running as the user, cannot read the log to react to blocks",
         first=["test_install_flow.py::test_install_upgrade_rotation_disable_and_uninstall"]),
    dict(id="firefox-doh-left-locked", file="scripts/installer/common.sh",
         find="    unlock_browser_doh\n\n    local tool\n",
         replace="\n    local tool\n",
         why="Firefox's encrypted DNS stays locked after the filter is off",
         first=["test_browser_policies.py"]),
    dict(id="list-minimum-ignored", file="scripts/installer/update_blocklist.sh",
         find="((entries >= MIN_ENTRIES)) || fail",
         replace="true || fail",
         why="a truncated download replaces a good block list",
         first=["test_update_blocklist.py"]),
    dict(id="list-size-unbounded", file="scripts/installer/update_blocklist.sh",
         find="((size <= MAX_BYTES)) || fail",
         replace="true || fail",
         why="an oversized download is taken as the block list",
         first=["test_update_blocklist.py"]),
    dict(id="list-web-page-taken", file="scripts/installer/update_blocklist.sh",
         find='fail "lo descargado de $url parece una página web, no una lista de dominios"',
         replace="true",
         why="a captive portal's web page is taken as the block list",
         first=["test_update_blocklist.py"]),
    dict(id="proxy-key-readable", file="scripts/installer/proxy_install.sh",
         find='chmod 0600 "$work/mitmproxy-ca.pem"',
         replace='chmod 0644 "$work/mitmproxy-ca.pem"',
         why="every user can read the keyword filter's private key and intercept HTTPS",
         first=["test_keyword_filter.py"]),
    # --- the root wrapper ------------------------------------------------------------------
    dict(id="admin-any-verb", file="app/resources/amparo-admin",
         find="    *) usage ;;\n",
         replace="    *) ;;\n",
         why="pkexec amparo-admin '<anything>' is taken under Amparo's password dialog",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-input-to-scripts", file="app/resources/amparo-admin",
         find="    *) exec </dev/null ;;\n",
         replace="    *) ;;\n",
         why="the caller's standard input reaches the installer scripts run as root",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-size-unbounded", file="app/resources/amparo-admin",
         find='[ "$(wc -c <"$input")" -le "$1" ] || fail',
         replace='true || fail',
         why="an oversized list is cut at the bound and written, not refused",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-line-break-taken", file="app/resources/amparo-admin",
         find="""grep -q "$(printf '\\302[\\200-\\237]\\\\|\\342\\200[\\250\\251]')" "$input"; then""",
         replace="false; then",
         why="a comment with U+2028 passes, and the daemon reads its end as a listed name",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-entry-any-text", file="app/resources/amparo-admin",
         find='length(name) > 253 || $0 ~ odd || index($0, "\\\\") { bad = 1; exit }',
         replace="length(name) > 253 { bad = 1; exit }",
         why="a list line that is no host name is written into custom.txt",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-link-followed", file="app/resources/amparo-admin",
         find='    mv -f "$1" "$DATA_DIR/$2"\n',
         replace='    cat "$1" >"$DATA_DIR/$2"\n',
         why="a link planted at a list's name makes root write through it",
         first=["test_admin_wrapper.py"]),
    dict(id="admin-page-any-scheme", file="app/resources/amparo-admin",
         find='$0 ~ /^https?:\\/\\/[^ \\t]+$/',
         replace='$0 ~ /^[a-z]+:/',
         why="a javascript: address becomes the block destination",
         first=["test_admin_wrapper.py"]),
    dict(id="proxy-port-owner-unchecked", file="scripts/installer/proxy_install.sh",
         find="    if ! proxy_port_ours; then",
         replace="    if false; then",
         why="another user's program on 127.0.0.1:8080 is reported as the active keyword filter",
         first=["test_keyword_filter.py::test_another_users_listener_on_the_port_fails_the_install"]),
    dict(id="proxy-state-as-root", file="scripts/installer/proxy_common.sh",
         find='    setpriv --reuid="$PROXY_USER" --regid="$PROXY_USER" --clear-groups -- "$@"',
         replace='    "$@"',
         why="root makes and reads the authority inside the folder the proxy's user owns",
         first=["test_keyword_filter.py"]),
    dict(id="uninstall-keeps-dconf", file="scripts/installer/uninstall.sh",
         find="disable_protection\nremove_dconf_proxy\n",
         replace="disable_protection\n",
         why="uninstalling leaves dconf's proxy keyfile, locks and profile behind",
         first=["test_keyword_filter.py::test_system_proxy_only_to_the_proxy_user_and_dconf_given_back"]),
    dict(id="firefox-proxy-unlocked", file="scripts/installer/firefox_policies.py",
         was=["scripts/installer/common.sh"],
         find='    policies["Proxy"] = OUR_PROXY\n',
         replace="",
         why="Firefox's \"No proxy\" setting skips the keyword filter",
         first=["test_browser_policies.py"]),
    # --- the keyword filter's add-on ------------------------------------------------------
    dict(id="addon-term-uncapped", file="scripts/proxy/amparo_filter.py",
         find="total += weight * min(n, TERM_CAP)",
         replace="total += weight * n",
         why="one word repeated down a page blocks a harmless page",
         first=["proxy/test_addon.py"]),
    dict(id="addon-allow-ignored", file="scripts/proxy/amparo_filter.py",
         find="if flow.websocket is not None or self._allowed(flow.request):",
         replace="if flow.websocket is not None:",
         why="a page of a site the user allowed is still blocked for its words",
         first=["proxy/test_addon.py"]),
    dict(id="addon-log-forgeable", file="scripts/proxy/amparo_filter.py",
         find='re.sub(r"[^a-z0-9.-]", "", (host or "").lower())',
         replace='re.sub(r"[^a-z0-9.\\n\\[\\] -]", "", (host or "").lower())',
         why="a Host header with a line break forges a block line in the log Amparo reads",
         first=["proxy/test_addon.py"]),
    dict(id="addon-decoded-cap-on-wire", file="scripts/proxy/amparo_filter.py",
         find="return out if len(out) <= cap else None",
         replace="return out if len(raw) <= cap else None",
         why="the decoded cap counts compressed bytes: a small gzip page inflating past it is scored whole",
         first=["proxy/test_addon.py"]),
    dict(id="addon-soft-hyphen-kept", file="scripts/proxy/amparo_filter.py",
         find='_INVISIBLE = re.compile("[\\u00ad\\u200b',
         replace='_INVISIBLE = re.compile("[\\u200b',
         why="a soft hyphen inside explicit words hides them from the scorer",
         first=["proxy/test_addon.py"]),
    dict(id="addon-xhtml-unscored", file="scripts/proxy/amparo_filter.py",
         find='SCORED_TYPES = ("text/html", "text/plain", "application/xhtml+xml", "")',
         replace='SCORED_TYPES = ("text/html", "text/plain")',
         why="XHTML pages and pages without a Content-Type are never scored",
         first=["proxy/test_addon.py"]),
    dict(id="addon-bom-ignored", file="scripts/proxy/amparo_filter.py",
         find="if body.startswith(bom):",
         replace="if False and body.startswith(bom):",
         why="a UTF-16 page marked only by its byte-order mark is read as Latin-1 and never matches",
         first=["proxy/test_addon.py"]),
    dict(id="addon-large-page-held", file="scripts/proxy/amparo_filter.py",
         find="int(length) > MAX_SCORED_BYTES)",
         replace="int(length) > 64 * MAX_SCORED_BYTES)",
         why="a large page is held whole in the proxy's memory before the browser sees a byte",
         first=["proxy/test_addon.py"]),
    dict(id="addon-turning-block-counted", file="scripts/proxy/amparo_filter.py",
         find='            zone = "girado"\n',
         replace="            pass\n",
         why="a recovery page's title ('Cómo dejar el porno') counts as a tube site's listing",
         first=["proxy/test_addon.py"]),
    dict(id="addon-turns-ignored", file="scripts/proxy/amparo_filter.py",
         find="about = (turn_points + ctx_points)",
         replace="about = (ctx_points)",
         why="a page about quitting pornography is judged by its words alone and blocked",
         first=["proxy/test_addon.py"]),
    dict(id="addon-subject-words-uncapped", file="scripts/proxy/amparo_filter.py",
         find="keep = min(1.0, (sum(shown.values())",
         replace="keep = max(1.0, (sum(shown.values())",
         why="a news story or a law that names pornography scores as pornography",
         first=["proxy/test_addon.py"]),
    dict(id="addon-dodged-spelling-unread", file="scripts/proxy/amparo_filter.py",
         find="piece = _MIXED.sub(_unleet, html.unescape(",
         replace="piece = (html.unescape(",
         why="'p0rn0', 'f0llando' pass the filter",
         first=["proxy/test_addon.py"]),
    dict(id="addon-keyword-page-no-permit", file="scripts/proxy/amparo_filter.py",
         find='PERMIT_URL = "amparo://permitir?sitio={host}"',
         replace='PERMIT_URL = "amparo://permitir"',
         why="the block page's 'Permitir este sitio' opens Amparo without the host",
         first=["proxy/test_addon.py"]),
    # --- wider table: the wait before loosening in the root wrapper -----------------------
    dict(id="w-admin-disable-skips-wait", file="app/resources/amparo-admin",
         find='        wait_first desactivar\n        exec /bin/bash "$HERE/disable.sh"\n',
         replace='        exec /bin/bash "$HERE/disable.sh"\n',
         why="with a wait chosen, 'Desactivar' turns the protection off at once"),
    dict(id="w-admin-uninstall-skips-wait", file="app/resources/amparo-admin",
         find='        wait_first desinstalar\n',
         replace='',
         why="with a wait chosen, uninstalling happens at once"),
    dict(id="w-admin-keyword-off-skips-wait", file="app/resources/amparo-admin",
         find='        wait_first desactivar-filtro-palabras\n',
         replace='',
         why="with a wait chosen, the keyword filter is turned off at once"),
    dict(id="w-admin-sites-skip-wait", file="app/resources/amparo-admin",
         find='    wait_first guardar-sitios <"$input"\n',
         replace='',
         why="with a wait chosen, a site taken off the blocked list or allowed opens at once"),
    dict(id="w-admin-wait-failure-loosens", file="app/resources/amparo-admin",
         find='[ "$status" -eq 3 ] || exit "$status"',
         replace='[ "$status" -ne 0 ] || exit "$status"',
         why="when the wait cannot be checked or recorded the loosening change is made at once anyway"),
    dict(id="w-admin-wait-digits", file="app/resources/amparo-admin",
         find="grep -qx '[0-9]\\{1,6\\}' \"$input\"",
         replace="grep -qx '[0-9]\\{1,4\\}' \"$input\"",
         why="choosing a wait of a day (86400 s) is refused"),
    # --- wider table: the user's lists and block destination through the root wrapper ----
    dict(id="w-admin-lists-swapped", file="app/resources/amparo-admin",
         find="{ print > (after ? allow : custom) }",
         replace="{ print > (after ? custom : allow) }",
         why="saving the sites writes the blocked ones into allow.txt and the allowed ones into custom.txt"),
    dict(id="w-admin-page-note-not-comment", file="app/resources/amparo-admin",
         find="printf '# Adónde lleva Amparo al bloquear",
         replace="printf 'Adónde lleva Amparo al bloquear",
         why="a chosen block destination is never used: redirect.txt starts with a note the filter takes as the setting"),
    dict(id="w-admin-page-size", file="app/resources/amparo-admin",
         find="readonly MAX_PAGE=2048", replace="readonly MAX_PAGE=20",
         why="an ordinary custom block page address is refused as too long"),
    # --- wider table: installing, disabling and uninstalling -------------------------------
    dict(id="w-install-answer-wait", file="scripts/installer/install.sh",
         find="readonly ANSWER_WAIT_SECONDS=20", replace="readonly ANSWER_WAIT_SECONDS=1",
         why="on a slow machine activation gives up before the filter has started"),
    dict(id="w-install-lists-private", file="scripts/installer/install.sh",
         find='install -m 0644 -o root -g root /dev/null "$DATA_DIR/$list"',
         replace='install -m 0600 -o root -g root /dev/null "$DATA_DIR/$list"',
         why="Amparo, running as the user, cannot read the user's lists on a fresh installation"),
    dict(id="w-install-doh-unlocked", file="scripts/installer/install.sh",
         find="    lock_browser_doh\n",
         replace="",
         why="browsers keep their own DNS over HTTPS and skip the filter"),
    dict(id="w-chromium-policy-name", file="scripts/installer/common.sh",
         find="readonly CHROMIUM_POLICY_NAME=zz-amparo.json", replace="readonly CHROMIUM_POLICY_NAME=amparo.json",
         why="another managed policy file later by name turns Chromium's own DNS over HTTPS back on"),
    dict(id="w-chromium-policy-value", file="scripts/installer/common.sh",
         find="""readonly CHROMIUM_POLICY='{"DnsOverHttpsMode": "off"}'""",
         replace="""readonly CHROMIUM_POLICY='{"DnsOverHttpsMode": "automatic"}'""",
         why="Chromium and Chrome may use their own DNS over HTTPS around the filter"),
    dict(id="w-disable-chromium-left", file="scripts/installer/common.sh",
         find='        rm -f "$dir/$CHROMIUM_POLICY_NAME"\n',
         replace="        :\n",
         why="after turning the protection off Chromium's own DNS over HTTPS stays off for good"),
    dict(id="w-backup-order-unknown", file="scripts/installer/common.sh",
         find='readonly BACKUP_SERVERS="1.1.1.3 1.0.0.3 2606:4700:4700::1113 2606:4700:4700::1003"',
         replace='readonly BACKUP_SERVERS="1.0.0.3 1.1.1.3 2606:4700:4700::1113 2606:4700:4700::1003"',
         why="disabling without a record leaves the machine on the backup resolvers instead of giving its DNS back"),
    dict(id="w-disable-not-told", file="scripts/installer/common.sh",
         find="        tell_trusted_person desactivada\n",
         replace="",
         why="turning the protection off is never told to the trusted person"),
    dict(id="w-uninstall-not-told", file="scripts/installer/uninstall.sh",
         find="tell_trusted_person desinstalacion\n",
         replace="",
         why="uninstalling is never told to the trusted person (it comes as a silent stop, or not at all)"),
    dict(id="w-uninstall-keeps-logrotate", file="scripts/installer/uninstall.sh",
         find='rm -f "$LOGROTATE_FILE"\n',
         replace="",
         why="uninstalling leaves /etc/logrotate.d/amparo behind"),
    dict(id="w-uninstall-keeps-unit", file="scripts/installer/uninstall.sh",
         find='    rm -f "$UNIT_FILE"\n',
         replace="",
         why="uninstalling leaves tranca.service behind, failing at every boot"),
    # --- wider table: the service and its log ----------------------------------------------
    dict(id="w-service-restart-slow", file="scripts/installer/tranca.service",
         find="RestartSec=3", replace="RestartSec=300",
         why="a crashed filter stays down five minutes before it is started again"),
    dict(id="w-service-start-limit", file="scripts/installer/tranca.service",
         find="StartLimitIntervalSec=0\n", replace="",
         why="after a few quick crashes systemd stops restarting the filter for good"),
    dict(id="w-service-stop-keeps-redirect", file="scripts/installer/tranca.service",
         find="ExecStopPost=-/var/lib/tranca/trancad --bloqueo respaldo\n", replace="",
         why="a stopped or crashed filter leaves DNS redirected to itself: no names resolve until it is back"),
    dict(id="w-logrotate-rename", file="scripts/installer/tranca.logrotate",
         find="    copytruncate\n", replace="",
         why="after the first rotation the filter writes into the renamed log: Amparo never sees a block again"),
    dict(id="w-logrotate-size", file="scripts/installer/tranca.logrotate",
         find="    size 10M\n", replace="    size 10G\n",
         why="the log may grow to gigabytes before it is rotated"),
    # --- wider table: the block list download ------------------------------------------------
    dict(id="w-list-min-default", file="scripts/installer/update_blocklist.sh",
         find="readonly MIN_ENTRIES=${TRANCA_BLOCKLIST_MIN_ENTRIES:-1000}",
         replace="readonly MIN_ENTRIES=${TRANCA_BLOCKLIST_MIN_ENTRIES:-10}",
         why="a download cut after a few lines replaces the good block list"),
    dict(id="w-list-junk-share", file="scripts/installer/update_blocklist.sh",
         find="readonly MAX_JUNK_PERCENT=2", replace="readonly MAX_JUNK_PERCENT=50",
         why="a download where half the lines are no domain names replaces the block list"),
    dict(id="w-list-hosts-count", file="scripts/installer/update_blocklist.sh",
         find='if (n >= 2 && (name == "0.0.0.0" || name == "127.0.0.1")) name = fields[2]',
         replace='if (n >= 2 && name == "127.0.0.1") name = fields[2]',
         why="the default hosts-format list (0.0.0.0 lines) counts no names and every download is refused"),
    dict(id="w-list-case-junk", file="scripts/installer/update_blocklist.sh",
         find="            name = tolower(name)\n", replace="",
         why="a list with capital letters in its names is refused as junk"),
    dict(id="w-list-url-comment", file="scripts/installer/update_blocklist.sh",
         find='if [[ -n $line && $line != \\#* ]]; then',
         replace='if [[ -n $line ]]; then',
         why="a comment line at the top of blocklist-url.txt is taken as the download address"),
    dict(id="w-list-download-time", file="scripts/installer/update_blocklist.sh",
         find="--max-time 300 --connect-timeout 20", replace="--max-time 3 --connect-timeout 20",
         why="on an ordinary connection the block list download never finishes in time"),
]


# What each mode measures: its table; the gtest binaries and fuzz replays it
# runs; whether it needs trancad; the folder of its pytest modules (None:
# none) and the modules there it leaves out (the package's contents are not
# the scripts' behaviour); other folders whose modules it runs too, named
# folder/module; the folder run last, only against a fault the rest let live
# (the booted Debian needs the whole build and its .deb and takes minutes a
# module, the desktop the whole build and Xvfb); whether it runs the views'
# Qt Quick tests.
Mode = collections.namedtuple("Mode", "table binaries fuzz trancad folder left_out also last views")
MODES = {
    "daemon": Mode(MUTANTS, GTEST_BINARIES, True, True, "process", (), (), "system", False),
    "process_only": Mode(MUTANTS, (), False, True, "process", (), (), "system", False),
    "app": Mode(APP_MUTANTS, APP_BINARIES, False, False, None, (), (), "desktop", True),
    "scripts": Mode(SCRIPT_MUTANTS, (), False, True, "installer", ("test_package.py",),
                    ("proxy",), "system", False),
}
# The views' Qt Quick tests: one program, its QML from the program's resources.
QML_TESTS = ("qtest", "qml_tests", None)
QML_FAILURE = re.compile(r"^FAIL!\s+: \S+?::(\S+?)\(\)", re.M)
# Where the booted Debian's root file system is kept between runs (debootstrap
# makes it once, in minutes).
SYSTEM_CACHE = "/var/tmp/amparo-mutants-system"


def mode_of(args):
    return MODES["app" if args.app else "scripts" if args.scripts else
                 "process_only" if args.process_only else "daemon"]


def say(text):
    print(text, flush=True)


def git(repo, *args, **kwargs):
    return subprocess.run(["git", "-C", repo, *args], check=True, **kwargs)


def stage_sources(args, stage):
    """Fills stage with the sources to measure; returns a description."""
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    if args.worktree:
        listed = git(args.repo, "ls-files", "-co", "--exclude-standard", "-z",
                     capture_output=True).stdout.decode().split("\0")
        for path in filter(None, listed):
            source = os.path.join(args.repo, path)
            if not os.path.lexists(source):
                continue  # deleted in the work tree
            target = os.path.join(stage, path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.islink(source):
                os.symlink(os.readlink(source), target)
            else:
                shutil.copy2(source, target)
        return "worktree of " + git(args.repo, "rev-parse", "HEAD", capture_output=True,
                                    text=True).stdout.strip()
    rev = git(args.repo, "rev-parse", "--verify", args.rev + "^{commit}", capture_output=True,
              text=True).stdout.strip()
    archive = subprocess.Popen(["git", "-C", args.repo, "archive", rev], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", stage], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        sys.exit("git archive failed")
    return rev


def sync_tree(stage, src):
    """Makes src equal to stage, touching only what differs so builds stay incremental."""
    wanted = set()
    for root, _, files in os.walk(stage):
        for name in files:
            relative = os.path.relpath(os.path.join(root, name), stage)
            wanted.add(relative)
            source, target = os.path.join(stage, relative), os.path.join(src, relative)
            if os.path.isfile(target) and not os.path.islink(target):
                with open(source, "rb") as a, open(target, "rb") as b:
                    if a.read() == b.read():
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.lexists(target):
                os.remove(target)
            # A fresh mtime: an older one could leave a stale object in place.
            shutil.copyfile(source, target, follow_symlinks=False)
            if not os.path.islink(target):
                shutil.copymode(source, target)
    for root, _, files in os.walk(src):
        for name in files:
            path = os.path.join(root, name)
            if os.path.relpath(path, src) not in wanted:
                os.remove(path)


def fuzz_targets(src):
    text = open(os.path.join(src, "fuzz", "CMakeLists.txt"), encoding="utf-8").read()
    block = re.search(r"set\(TRANCA_FUZZ_TARGETS(.*?)\)", text, re.S)
    return block.group(1).split() if block else []


class Runner:
    def __init__(self, args, scratch):
        self.args = args
        self.src = os.path.join(scratch, "src")
        self.build_dir = os.path.join(scratch, "build")
        self.bin = os.path.join(self.build_dir, "bin")
        self.logs = os.path.join(scratch, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.timeouts = {}  # suite item -> seconds
        self.flaky = []  # failures that did not repeat, this mutant
        self.mode = mode_of(args)
        self.binaries = self.mode.binaries

    def fuzz_targets(self):
        return fuzz_targets(self.src) if self.mode.fuzz else []

    # --- building -------------------------------------------------------------------------
    def configure(self):
        if os.path.exists(os.path.join(self.build_dir, "build.ninja")):
            return True
        command = ["cmake", "-S", self.src, "-B", self.build_dir, "-G", "Ninja",
                   "-DCMAKE_BUILD_TYPE=Release", "-DAMPARO_BUILD_BENCH=OFF"]
        modules = os.path.join(self.args.repo, ".deps", "npm", "node_modules")
        if os.path.isdir(modules):  # the UI's fonts, needed only to configure
            command.append("-DAMPARO_NPM_MODULES=" + modules)
        return self.quiet(NICE + command, "configure") == 0

    def targets(self):
        return (["trancad"] if self.mode.trancad else []) + list(self.binaries) + [
            "replay_" + t for t in self.fuzz_targets()] + (["qml_tests"] if self.mode.views else [])

    def whole_build(self):
        """Everything built, as the folder run last needs: None, or why it failed."""
        if self.build(["all"], log="build-all"):
            return None
        return "the whole build fails: " + os.path.join(self.logs, "build-all.log")

    def build(self, targets=None, log="build"):
        command = NICE + ["cmake", "--build", self.build_dir, "-j", str(self.args.jobs),
                          "--target", *(targets or self.targets())]
        return self.quiet(command, log) == 0

    def object_of(self, file):
        # The object lies under the folder whose CMakeLists.txt names the
        # source: daemon/dns/x.cpp in daemon/, app/core/x.cpp in app/core/.
        listing = subprocess.run(["ninja", "-C", self.build_dir, "-t", "targets", "all"],
                                 capture_output=True, text=True).stdout
        targets = [line.split(":", 1)[0] for line in listing.splitlines()]
        parts = file.split("/")
        for cut in range(len(parts) - 1, 0, -1):
            top, rest = "/".join(parts[:cut]), "/".join(parts[cut:])
            for target in targets:
                if target.startswith(top + "/CMakeFiles/") and target.endswith(".dir/" + rest + ".o"):
                    return target
        return None

    def quiet(self, command, log):
        with open(os.path.join(self.logs, log + ".log"), "w") as out:
            return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode

    # --- the suite -------------------------------------------------------------------------
    def modules(self):
        if self.args.matrix or self.mode.folder is None:
            return []  # process tests would take hours against every fault
        found = glob.glob(os.path.join(self.src, "tests", self.mode.folder, "test_*.py"))
        return sorted(os.path.basename(p) for p in found
                      if os.path.basename(p) not in self.mode.left_out) + sorted(
            os.path.relpath(p, os.path.join(self.src, "tests")) for folder in self.mode.also
            for p in glob.glob(os.path.join(self.src, "tests", folder, "test_*.py")))

    def last_resort(self):
        """The pytest items of the folder run last, named folder/module."""
        if self.args.matrix or self.args.no_last_resort or self.mode.last is None:
            return []
        found = glob.glob(os.path.join(self.src, "tests", self.mode.last, "test_*.py"))
        return [("pytest", os.path.join(self.mode.last, os.path.basename(p)), None)
                for p in sorted(found)]

    def suite(self):
        items = [("gtest", b, "*") for b in self.binaries]
        items += [QML_TESTS] if self.mode.views else []
        items += [("fuzz", t, None) for t in self.fuzz_targets()]
        items += [("pytest", m, None) for m in self.modules()]
        return items

    def item_for(self, selector):
        if selector.startswith("fuzz:"):
            return ("fuzz", selector[5:], None)
        if selector == "qml":
            return QML_TESTS
        if ".py" in selector:
            module, _, node = selector.partition("::")
            return ("pytest", module, selector if node else None)
        return ("gtest", "daemon_tests", selector)

    def timeout_of(self, item):
        # Modules named folder/module get what CTest gives the slowest (the booted Debian's).
        default = 1500 if "/" in item[1] else self.args.default_timeout
        return self.timeouts.get(item[:2], default)

    def start(self, item, log=None, fail_fast=True):
        """Starts one suite item; returns (process, log path)."""
        kind, name, detail = item
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        cwd = None
        if kind == "gtest":
            env["QT_QPA_PLATFORM"] = "offscreen"  # the app's tests make windows
            command = [os.path.join(self.bin, name), "--gtest_filter=" + detail]
            if fail_fast:
                command.insert(1, "--gtest_fail_fast")
        elif kind == "qtest":
            env["QT_QPA_PLATFORM"] = "offscreen"
            command = [os.path.join(self.bin, name), "-input",
                       os.path.join(self.src, "tests", "ui", "qml")]
        elif kind == "fuzz":
            command = [os.path.join(self.bin, "replay_" + name),
                       os.path.join(self.src, "fuzz", "corpus", name)]
        else:
            env["TRANCAD_BIN"] = os.path.join(self.bin, "trancad")
            folder, module = os.path.split(name)
            if folder == self.mode.last:  # the whole build, its .deb, the cached system
                env.update(AMPARO_SOURCE_DIR=self.src, AMPARO_BUILD_DIR=self.build_dir,
                           AMPARO_SYSTEM_CACHE=SYSTEM_CACHE,
                           AMPARO_APP=os.path.join(self.build_dir, "lib", "amparo", "Amparo"),
                           AMPARO_ACTIONS_DRIVER=os.path.join(self.bin, "amparo_actions_driver"))
            cwd = os.path.join(self.src, "tests", folder or self.mode.folder)
            command = [PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x", detail or module]
            if detail and name in INNER_FORM:
                variable, wrapper = INNER_FORM[name]
                env[variable] = "1"
                command = wrapper + command
        log = log or os.path.join(self.logs, "run-%s-%s.log" % (
            kind, re.sub(r"[^\w.-]", "_", detail or name)))
        out = open(log, "w")
        process = subprocess.Popen(NICE + command, cwd=cwd, env=env, stdout=out,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        return process, log

    @staticmethod
    def stop(process):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()

    @staticmethod
    def verdict(item, code, log, timed_out):
        """None when the item passed, else who failed; "missing" for an unknown selector."""
        kind, name, detail = item
        text = open(log, encoding="utf-8", errors="replace").read()
        if kind == "gtest":
            failed = re.search(r"^\[  FAILED  \] ([^\s,]+)", text, re.M)
            running = GTEST_RUN.findall(text)
            if timed_out:
                return "timeout in " + (running[-1] if running else name)
            if code == 0:
                return None
            if failed:
                return failed.group(1)
            return (running[-1] if running else name) + " (crashed, status %d)" % code
        if kind == "qtest":
            if timed_out:
                return "timeout in " + name
            if code == 0:
                return None
            failed = QML_FAILURE.search(text)
            return "qml:" + failed.group(1) if failed else "%s (status %d)" % (name, code)
        if kind == "fuzz":
            if timed_out:
                return "timeout in fuzz replay " + name
            return None if code == 0 else "fuzz replay " + name
        if timed_out:
            return "timeout in " + (detail or name)
        if code == 0 and "/" in name and " passed" not in text:
            return name + " skipped: missing what it needs (see its log)"
        if code == 0:
            return None
        if code in (4, 5) and detail:
            return "missing"
        failed = re.search(r"^(?:FAILED|ERROR) (\S+)", text, re.M)
        return failed.group(1) if failed else "%s (status %d)" % (detail or name, code)

    def run(self, items, parallel=1, durations=None, confirm=True):
        """Runs items, at most `parallel` at once; stops at the first failure
        that repeats when its item runs again alone. Returns (who failed or None, item)."""
        pending, running = list(items), []
        try:
            while pending or running:
                while pending and len(running) < parallel:
                    item = pending.pop(0)
                    process, log = self.start(item)
                    running.append((item, process, log, time.monotonic()))
                time.sleep(0.2)
                for entry in list(running):
                    item, process, log, began = entry
                    elapsed = time.monotonic() - began
                    timed_out = process.poll() is None and elapsed > self.timeout_of(item)
                    if process.poll() is None and not timed_out:
                        continue
                    if timed_out:
                        self.stop(process)
                    running.remove(entry)
                    who = self.verdict(item, process.returncode, log, timed_out)
                    if durations is not None:
                        durations[item] = elapsed
                    if who == "missing":
                        say("    (no test %s: selector skipped)" % item[2])
                        continue
                    if not who:
                        continue
                    if confirm:
                        # Timing tests can fail under load (a parallel module,
                        # other programs): a kill must repeat with the item alone.
                        for other, process_, _, _ in running:
                            self.stop(process_)
                            pending.insert(0, other)
                        running = []
                        again, _ = self.run([item], confirm=False)
                        if not again:
                            self.flaky.append(who)
                            say("    (%s failed, then passed alone: flaky, not a kill)" % who)
                            break
                        who = again
                    return who, item
        finally:
            for _, process, _, _ in running:
                self.stop(process)
        return None, None

    def rest_of_suite(self, skip):
        items = [i for i in self.suite() if i not in skip]
        quick = [i for i in items if i[0] != "pytest"]
        slow = sorted((i for i in items if i[0] == "pytest"), key=self.timeout_of)
        who, item = self.run(quick)
        if who:
            return who, item
        who, item = self.run(slow, parallel=self.args.parallel)
        if who or not self.last_resort():
            return who, item
        failure = self.whole_build()
        if failure:
            return failure, None
        return self.run([i for i in self.last_resort() if i not in skip])

    def every_failure(self, binary):
        """All tests of one gtest binary that fail, a crash or hang counting
        against the test that was running; the rest of the binary runs on."""
        failed, seen = set(), set()
        for attempt in range(50):
            skip = ":".join(sorted(seen))
            item = ("gtest", binary, "*" + ("-" + skip if skip else ""))
            process, log = self.start(item, os.path.join(self.logs, "every-%s-%d.log" % (binary, attempt)),
                                       fail_fast=False)
            timed_out = self.finish(process, item) is None
            text = open(log, encoding="utf-8", errors="replace").read()
            ran = GTEST_RUN.findall(text)
            end = r"\] ([^\s,]+)(?:, where .*)? \(\d+ ms\)$"
            ended = set(re.findall(r"^\[(?:       OK |  FAILED  |  SKIPPED )" + end, text, re.M))
            failed |= set(re.findall(r"^\[  FAILED  " + end, text, re.M))
            seen |= set(ran)
            unfinished = [t for t in ran if t not in ended]
            if not unfinished:
                if process.returncode != 0 and not failed and not timed_out:
                    failed.add(binary + " (status %d)" % process.returncode)
                break
            failed.add(unfinished[-1])
        return failed

    def in_process_failures(self):
        failed = set()
        for binary in self.binaries:
            failed |= self.every_failure(binary)
        for target in self.fuzz_targets():
            item = ("fuzz", target, None)
            if self.finish(self.start(item)[0], item) != 0:
                failed.add("fuzz:" + target)
        if self.mode.views:  # Qt Quick Test runs on past a failure: every one is in the log
            process, log = self.start(QML_TESTS)
            code = self.finish(process, QML_TESTS)
            found = QML_FAILURE.findall(open(log, encoding="utf-8", errors="replace").read())
            failed |= {"qml:" + f for f in found} or ({"qml_tests (status %s)" % code} if code else set())
        return sorted(failed)

    def finish(self, process, item):
        """The exit status, or None when the process was stopped at its item's timeout."""
        try:
            return process.wait(timeout=self.timeout_of(item))
        except subprocess.TimeoutExpired:
            self.stop(process)
            return None

    def attack(self, mutant):
        """Runs the hinted tests, then the rest; returns who killed the mutant or None."""
        hinted = [self.item_for(s) for s in mutant.get("first", [])]
        hinted = [i for i in hinted if i[0] != "fuzz" or i[1] in self.fuzz_targets()]
        filters = [i[2] for i in hinted if i[0] == "gtest"]
        first = []
        if filters:
            first += [("gtest", b, ":".join(filters)) for b in self.binaries]
        first += [i for i in hinted if i[0] != "gtest"]
        if any(i[1].startswith("%s/" % self.mode.last) for i in first if i[0] == "pytest"):
            failure = self.whole_build()
            if failure:
                return failure
        who, _ = self.run(first)
        if who:
            return who
        done = {i for i in first if i[0] != "gtest" and i[2] is None}
        who, _ = self.rest_of_suite(done)
        return who


def locate(text, mutant):
    """The first spelling of the fault (find, replace) whose find occurs exactly once."""
    for find, replace in [(mutant["find"], mutant["replace"])] + mutant.get("alt", []):
        if text.count(find) == 1:
            return find, replace
    return None


@contextlib.contextmanager
def planted(src, mutant):
    """The mutant in its file for the duration; the original bytes back after."""
    path = os.path.join(src, mutant["file"])
    original = open(path, "rb").read()
    text = original.decode("utf-8")
    find, replace = locate(text, mutant)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text.replace(find, replace))
    try:
        yield
    finally:
        mutated = os.stat(path).st_mtime_ns
        with open(path, "wb") as out:
            out.write(original)
        # Strictly newer than the mutant, so the next build recompiles the file.
        stamp = max(time.time_ns(), mutated + 1_000_000_000)
        os.utime(path, ns=(stamp, stamp))


def settle_paths(src, mutants):
    """Each fault's file under the name it has in the measured sources: the
    first that holds its text (a fault can move out of a file that stays)."""
    for m in mutants:
        for path in [m["file"]] + m.get("was", []):
            full = os.path.join(src, path)
            if os.path.exists(full) and locate(open(full, encoding="utf-8").read(), m):
                m["file"] = path
                break


def check_matches(src, mutants):
    bad = 0
    for m in mutants:
        path = os.path.join(src, m["file"])
        if not os.path.exists(path) or not locate(open(path, encoding="utf-8").read(), m):
            bad += 1
            say("%-30s no find text occurs exactly once in %s" % (m["id"], m["file"]))
    return bad


def matrix(runner, mutants, scratch):
    """Which in-process tests each fault fails; process tests are left out (slow)."""
    tests, suite = [], ""
    for binary in runner.binaries:
        listing = subprocess.run([os.path.join(runner.bin, binary), "--gtest_list_tests"],
                                 capture_output=True, text=True).stdout
        for line in listing.splitlines():
            if not line.startswith(" "):
                suite = line.split()[0]
            else:
                tests.append(suite + line.split()[0])
    rows = {}
    for m in mutants:
        with planted(runner.src, m):
            built = runner.build(log="build-" + m["id"])
            rows[m["id"]] = runner.in_process_failures() if built else None
        say("%-30s %s" % (m["id"], "does not compile" if rows[m["id"]] is None
                          else ", ".join(rows[m["id"]]) or "-"))
    killers = {test for failed in rows.values() for test in failed or []}
    say("\nsole in-process killer of:")
    for mutant, failed in rows.items():
        if failed and len(failed) == 1:
            say("  %-30s %s" % (mutant, failed[0]))
    say("\nunit tests no fault fails:")
    for test in tests:
        if test not in killers:
            say("  " + test)
    with open(os.path.join(scratch, "matrix.json"), "w") as out:
        json.dump(dict(rows=rows, tests=tests), out, indent=1)
    return 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repo", default=os.path.dirname(here))
    parser.add_argument("--rev", default="HEAD", help="commit to measure (git archive)")
    parser.add_argument("--worktree", action="store_true",
                        help="measure the work tree (tracked and untracked, not ignored) instead")
    parser.add_argument("--name", default="work", help="scratch folder under /tmp/amparo-mutants")
    parser.add_argument("--scratch", help="scratch folder (overrides --name)")
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--list", action="store_true", help="print the table and exit")
    parser.add_argument("--check", action="store_true", help="apply and compile each mutant, run nothing")
    parser.add_argument("--no-build", action="store_true", help="with --check: only the unique matches")
    parser.add_argument("--matrix", action="store_true",
                        help="run every in-process test (unit, fuzz replays) against each fault: "
                             "which tests each fault fails, and which tests no fault needs")
    parser.add_argument("--process-only", action="store_true",
                        help="run only the process tests: which faults the real binary's tests "
                             "catch without the in-process ones")
    parser.add_argument("--app", action="store_true",
                        help="the tray application's table, against its unit tests")
    parser.add_argument("--scripts", action="store_true",
                        help="the installer scripts' table, against the installer tests")
    parser.add_argument("--no-last-resort", action="store_true",
                        help="leave out the folder run last: the booted Debian (tests/system) "
                             "or the desktop (tests/desktop)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--parallel", type=int, default=2, help="process modules at once")
    parser.add_argument("--default-timeout", type=float, default=600)
    args = parser.parse_args()

    table = mode_of(args).table
    mutants = table
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {m["id"] for m in table}
        if unknown:
            sys.exit("unknown mutants: " + ", ".join(sorted(unknown)))
        by_id = {m["id"]: m for m in table}
        mutants = [by_id[i] for i in dict.fromkeys(wanted)]  # in the order asked
    if args.list:
        for m in mutants:
            say("%-30s %-40s %s" % (m["id"], m["file"], m["why"]))
        say("%d mutants" % len(mutants))
        return 0

    scratch = args.scratch or os.path.join("/tmp/amparo-mutants", args.name)
    began = time.monotonic()
    source = stage_sources(args, os.path.join(scratch, "stage"))
    runner = Runner(args, scratch)
    os.makedirs(runner.src, exist_ok=True)
    sync_tree(os.path.join(scratch, "stage"), runner.src)
    say("sources: %s -> %s" % (source, runner.src))
    settle_paths(runner.src, mutants)
    if check_matches(runner.src, mutants):
        return 1
    if args.check and (args.no_build or args.scripts):  # scripts have nothing to compile
        say("all %d find texts match exactly once" % len(mutants))
        return 0
    if not runner.configure():
        sys.exit("cmake configure failed: " + os.path.join(runner.logs, "configure.log"))
    if args.check:
        failures, sound = 0, {}
        for m in mutants:
            target = runner.object_of(m["file"])
            if m["file"] not in sound:
                sound[m["file"]] = target is not None and runner.build([target], "check-unmutated")
            if not sound[m["file"]]:
                failures += 1
                say("%-30s %s does not compile even unmutated" % (m["id"], m["file"]))
                continue
            with planted(runner.src, m):
                ok = runner.build([target], "check-" + m["id"])
            failures += not ok
            say("%-30s %s" % (m["id"], "compiles" if ok else "DOES NOT COMPILE"))
        return 1 if failures else 0

    say("building ...")
    if not runner.build():
        sys.exit("the unmutated sources do not build: " + os.path.join(runner.logs, "build.log"))
    say("built in %.0f s" % (time.monotonic() - began))

    # The unmutated suite first: a failure there makes any score meaningless.
    say("unmutated suite ...")
    clean_began = time.monotonic()
    durations = {}
    failure = runner.whole_build() if runner.last_resort() else None
    if failure:
        sys.exit(failure)
    for item in runner.suite() + runner.last_resort():
        who, _ = runner.run([item], durations=durations, confirm=False)
        seconds = durations[item]
        if who:
            again, _ = runner.run([item], confirm=False)
            say("unmutated suite fails: %s (%s)" % (who, "flaky: passed on a rerun" if not again
                                                      else "broken: failed again, " + again))
            return 2
        runner.timeouts[item[:2]] = max(120.0, 3 * seconds)
        say("  %-40s %6.1f s" % (item[1], seconds))
    clean_seconds = time.monotonic() - clean_began
    say("unmutated suite passed in %.0f s (one item at a time)" % clean_seconds)

    if args.matrix:
        return matrix(runner, mutants, scratch)

    results = []
    for m in mutants:
        started = time.monotonic()
        runner.flaky = []
        with planted(runner.src, m):
            if not runner.build(log="build-" + m["id"]):
                status, who = "no-compile", None
            else:
                built = time.monotonic() - started
                who = runner.attack(m)
                status = "killed" if who else "survived"
        seconds = time.monotonic() - started
        results.append(dict(id=m["id"], file=m["file"], why=m["why"], status=status,
                            killed_by=who, flaky=runner.flaky, seconds=round(seconds, 1),
                            build_seconds=round(built, 1) if status != "no-compile" else None))
        line = {"killed": "KILLED by " + str(who), "survived": "SURVIVED",
                "no-compile": "does not compile"}[status]
        if runner.flaky:
            line += "  [did not repeat: %s]" % ", ".join(runner.flaky)
        say("%-30s %s  (%.0f s)" % (m["id"], line, seconds))

    # A row that no longer compiles proves nothing: it counts as not caught,
    # and the run fails, so the table cannot quietly shrink.
    killed = sum(r["status"] == "killed" for r in results)
    percent = 100.0 * killed / len(results) if results else 0.0
    say("\nscore: %d/%d (%.1f %%)" % (killed, len(results), percent))
    for r in results:
        if r["status"] == "survived":
            say("  survived %-30s %s" % (r["id"], r["why"]))
        elif r["status"] == "no-compile":
            say("  does not compile: %s" % r["id"])
    wall = time.monotonic() - began
    report = dict(source=source, worktree=args.worktree, only=args.only, wall_seconds=round(wall),
                  unmutated_seconds=round(clean_seconds),
                  unmutated={"%s %s" % k[:2]: round(v, 1) for k, v in durations.items()},
                  killed=killed, total=len(results), percent=round(percent, 1), mutants=results)
    with open(os.path.join(scratch, "report.json"), "w") as out:
        json.dump(report, out, indent=2, ensure_ascii=False)
    say("wall time %.0f s; report %s" % (wall, os.path.join(scratch, "report.json")))
    return 1 if any(r["status"] == "no-compile" for r in results) else 0


if __name__ == "__main__":
    # SIGTERM unwinds like Ctrl-C, so the planted file is restored.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
