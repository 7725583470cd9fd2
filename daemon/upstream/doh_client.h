// The process's one DNS-over-HTTPS client: a libcurl multi handle driven by a
// thread of its own, so one TLS connection per resolver is kept and HTTP/2
// streams are multiplexed over it. Submitting never blocks on the network;
// each completion is posted to the given executor.
#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "daemon/wire/dns_message.h"

namespace tranca {

struct DohOptions {
    // Trusted certificates; empty means the system's bundle.
    std::string caBundle;
    // Bound on one request, connection and TLS handshake included.
    std::chrono::milliseconds timeout{2000};
};

// One request's end. Only a failure of the way there (no connection, TLS,
// timeout, a 5xx) says the resolver is unreachable; a 4xx or a body that is no
// DNS message is the resolver refusing this one query.
struct DohResult {
    std::optional<DnsMessage> body;
    bool transportFailed = false;
};

class DohClient {
  public:
    using Done = std::function<void(DohResult)>;

    DohClient(asio::any_io_executor completions, DohOptions options);
    ~DohClient();
    DohClient(const DohClient&) = delete;
    DohClient& operator=(const DohClient&) = delete;

    // POSTs query as application/dns-message. done gets the body when the
    // status was 200 and the body holds at least a DNS header.
    void post(const std::string& url, std::shared_ptr<const DnsMessage> query, Done done);

  private:
    struct Request;

    void run();
    void addRequest(std::unique_ptr<Request> request);
    void finishRequest(void* easy, int result);

    asio::any_io_executor completions_;
    DohOptions options_;
    void* multi_ = nullptr;
    void* headers_ = nullptr;
    std::mutex lock_;
    std::vector<std::unique_ptr<Request>> submitted_;
    bool stopping_ = false;
    // Transfers added to the multi handle; touched by the client's thread only.
    std::unordered_set<Request*> active_;
    std::thread thread_;
};

}  // namespace tranca
