#include "daemon/dns/pending_questions.h"

namespace tranca {

PendingQuestions::Join PendingQuestions::join(std::string_view key, Asker&& asker) {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = waiting_.find(std::string(key));
    if (found == waiting_.end()) {
        waiting_.emplace(std::string(key), std::vector<Asker>{});
        return Join::lead;
    }
    if (count_ >= maxWaiting_) {
        return Join::full;
    }
    found->second.push_back(std::move(asker));
    ++count_;
    return Join::joined;
}

std::vector<Asker> PendingQuestions::finish(std::string_view key) {
    std::vector<Asker> waiters;
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = waiting_.find(std::string(key));
    if (found != waiting_.end()) {
        waiters = std::move(found->second);
        count_ -= waiters.size();
        waiting_.erase(found);
    }
    return waiters;
}

}  // namespace tranca
