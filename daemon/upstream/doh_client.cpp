#include "daemon/upstream/doh_client.h"

#include <curl/curl.h>

#include <asio/post.hpp>

#include "daemon/system/dns_lock.h"

namespace tranca {

namespace {

// A DNS message never exceeds this; anything longer is not an answer.
constexpr std::size_t kMaxBody = 65535;

// Idle TLS connections kept per resolver. Queries normally share one HTTP/2
// connection; this bounds the descriptors an HTTP/1.1 server could make us use.
constexpr long kMaxHostConnections = 8;

std::once_flag curlInitialised;

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<DnsMessage*>(user);
    const std::size_t length = size * count;
    if (body->size() + length > kMaxBody) {
        return 0;  // aborts the transfer
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    body->insert(body->end(), bytes, bytes + length);
    return length;
}

}  // namespace

struct DohClient::Request {
    CURL* easy = nullptr;
    std::string url;
    std::shared_ptr<const DnsMessage> query;
    DnsMessage body;
    Done done;

    ~Request() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
    }
};

DohClient::DohClient(asio::any_io_executor completions, DohOptions options)
    : completions_(std::move(completions)), options_(std::move(options)) {
    std::call_once(curlInitialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxHostConnections);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, kMaxHostConnections * 2);
    multi_ = multi;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/dns-message");
    headers = curl_slist_append(headers, "Accept: application/dns-message");
    // A large query must not wait for "100 Continue".
    headers = curl_slist_append(headers, "Expect:");
    headers_ = headers;
    thread_ = std::thread([this] { run(); });
}

DohClient::~DohClient() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
    thread_.join();
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
    curl_slist_free_all(static_cast<curl_slist*>(headers_));
}

void DohClient::post(const std::string& url, std::shared_ptr<const DnsMessage> query, Done done) {
    auto request = std::make_unique<Request>();
    request->url = url;
    request->query = std::move(query);
    request->done = std::move(done);
    {
        const std::lock_guard<std::mutex> guard(lock_);
        submitted_.push_back(std::move(request));
    }
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

namespace {

int markConnection(void*, curl_socket_t fd, curlsocktype) {
    markSocket(fd);
    return CURL_SOCKOPT_OK;
}

}  // namespace

void DohClient::addRequest(std::unique_ptr<Request> request) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        asio::post(completions_, [done = std::move(request->done)] {
            done(DohResult{std::nullopt, true});
        });
        return;
    }
    request->easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, request->url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request->query->data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request->query->size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers_));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));
    // Never through a proxy, whatever the environment says.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    // Wait for the connection being set up rather than opening another, so
    // concurrent queries end up as streams on one connection.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Every connection past the DNS lock, which refuses HTTPS to resolvers.
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, markConnection);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request->body);
    if (!options_.caBundle.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caBundle.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_PRIVATE, request.get());
    if (curl_multi_add_handle(static_cast<CURLM*>(multi_), easy) != CURLM_OK) {
        asio::post(completions_, [done = std::move(request->done)] {
            done(DohResult{std::nullopt, true});
        });
        return;
    }
    active_.insert(request.release());  // owned here until finishRequest
}

void DohClient::finishRequest(void* handle, int result) {
    CURL* easy = static_cast<CURL*>(handle);
    Request* raw = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
    std::unique_ptr<Request> request(raw);
    active_.erase(raw);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), easy);
    DohResult outcome;
    if (result == CURLE_OK && status == 200 && request->body.size() >= kHeaderSize) {
        outcome.body = std::move(request->body);
    } else {
        // An oversized body aborts the transfer from our side: the resolver
        // answered, just not with a DNS message.
        outcome.transportFailed =
            (result != CURLE_OK && result != CURLE_WRITE_ERROR) || status >= 500;
    }
    asio::post(completions_,
               [done = std::move(request->done), outcome = std::move(outcome)]() mutable {
                   done(std::move(outcome));
               });
}

void DohClient::run() {
    CURLM* multi = static_cast<CURLM*>(multi_);
    std::vector<std::unique_ptr<Request>> batch;
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                break;
            }
            batch.swap(submitted_);
        }
        for (auto& request : batch) {
            addRequest(std::move(request));
        }
        batch.clear();
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE) {
                finishRequest(message->easy_handle, message->data.result);
            }
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    // Shutting down: every transfer still open ends without an answer.
    while (!active_.empty()) {
        finishRequest((*active_.begin())->easy, CURLE_ABORTED_BY_CALLBACK);
    }
    const std::lock_guard<std::mutex> guard(lock_);
    for (auto& request : submitted_) {
        asio::post(completions_, [done = std::move(request->done)] {
            done(DohResult{std::nullopt, true});
        });
    }
    submitted_.clear();
}

}  // namespace tranca
