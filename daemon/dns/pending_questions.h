// Questions waiting for the upstreams, so that many clients asking the same
// one at once cost a single upstream query: the first asks, the others wait
// for its answer.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "daemon/dns/reply_channel.h"
#include "daemon/upstream/answer_cache.h"

namespace tranca {

// One client waiting for an answer to its own query.
struct Asker {
    DnsMessage query;
    std::size_t questionEnd = 0;
    std::size_t udpLimit = 0;
    ClientAddress client;
    std::shared_ptr<ReplyChannel> channel;  // none for a refresh nobody waits for
};

class PendingQuestions {
  public:
    // maxWaiting bounds the clients waiting behind others, all questions
    // together, so a flood of one name grows nothing without bound.
    explicit PendingQuestions(std::size_t maxWaiting) : maxWaiting_(maxWaiting) {}

    enum class Join {
        lead,    // nobody asks yet: the caller does, then calls finish
        joined,  // asker waits for the query already out
        full,    // too many wait already: the caller asks on its own
    };
    Join join(std::string_view key, Asker&& asker);
    // Everyone who waited behind the leader of key; key is no longer pending.
    std::vector<Asker> finish(std::string_view key);

  private:
    const std::size_t maxWaiting_;
    std::mutex lock_;
    std::unordered_map<std::string, std::vector<Asker>> waiting_;
    std::size_t count_ = 0;
};

}  // namespace tranca
