#include "daemon/lists/safesearch.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "daemon/lists/normal_name.h"

namespace tranca {

namespace {

// Google's search domains as https://www.google.com/supported_domains lists
// them, in the page's spelling and order so the two can be compared when the
// page changes. Only these names, bare or with "www.", are Google Search: a
// name whose first label merely reads "google" (google.github.io,
// google.example.com) belongs to someone else.
constexpr auto kGoogleSearchDomains = std::to_array<std::string_view>(
    {".google.com",    ".google.ad",     ".google.ae",     ".google.com.af", ".google.com.ag",
     ".google.al",     ".google.am",     ".google.co.ao",  ".google.com.ar", ".google.as",
     ".google.at",     ".google.com.au", ".google.az",     ".google.ba",     ".google.com.bd",
     ".google.be",     ".google.bf",     ".google.bg",     ".google.com.bh", ".google.bi",
     ".google.bj",     ".google.com.bn", ".google.com.bo", ".google.com.br", ".google.bs",
     ".google.bt",     ".google.co.bw",  ".google.by",     ".google.com.bz", ".google.ca",
     ".google.cd",     ".google.cf",     ".google.cg",     ".google.ch",     ".google.ci",
     ".google.co.ck",  ".google.cl",     ".google.cm",     ".google.cn",     ".google.com.co",
     ".google.co.cr",  ".google.com.cu", ".google.cv",     ".google.com.cy", ".google.cz",
     ".google.de",     ".google.dj",     ".google.dk",     ".google.dm",     ".google.com.do",
     ".google.dz",     ".google.com.ec", ".google.ee",     ".google.com.eg", ".google.es",
     ".google.com.et", ".google.fi",     ".google.com.fj", ".google.fm",     ".google.fr",
     ".google.ga",     ".google.ge",     ".google.gg",     ".google.com.gh", ".google.com.gi",
     ".google.gl",     ".google.gm",     ".google.gr",     ".google.com.gt", ".google.gy",
     ".google.com.hk", ".google.hn",     ".google.hr",     ".google.ht",     ".google.hu",
     ".google.co.id",  ".google.ie",     ".google.co.il",  ".google.im",     ".google.co.in",
     ".google.iq",     ".google.is",     ".google.it",     ".google.je",     ".google.com.jm",
     ".google.jo",     ".google.co.jp",  ".google.co.ke",  ".google.com.kh", ".google.ki",
     ".google.kg",     ".google.co.kr",  ".google.com.kw", ".google.kz",     ".google.la",
     ".google.com.lb", ".google.li",     ".google.lk",     ".google.co.ls",  ".google.lt",
     ".google.lu",     ".google.lv",     ".google.com.ly", ".google.co.ma",  ".google.md",
     ".google.me",     ".google.mg",     ".google.mk",     ".google.ml",     ".google.com.mm",
     ".google.mn",     ".google.com.mt", ".google.mu",     ".google.mv",     ".google.mw",
     ".google.com.mx", ".google.com.my", ".google.co.mz",  ".google.com.na", ".google.com.ng",
     ".google.com.ni", ".google.ne",     ".google.nl",     ".google.no",     ".google.com.np",
     ".google.nr",     ".google.nu",     ".google.co.nz",  ".google.com.om", ".google.com.pa",
     ".google.com.pe", ".google.com.pg", ".google.com.ph", ".google.com.pk", ".google.pl",
     ".google.pn",     ".google.com.pr", ".google.ps",     ".google.pt",     ".google.com.py",
     ".google.com.qa", ".google.ro",     ".google.ru",     ".google.rw",     ".google.com.sa",
     ".google.com.sb", ".google.sc",     ".google.se",     ".google.com.sg", ".google.sh",
     ".google.si",     ".google.sk",     ".google.com.sl", ".google.sn",     ".google.so",
     ".google.sm",     ".google.sr",     ".google.st",     ".google.com.sv", ".google.td",
     ".google.tg",     ".google.co.th",  ".google.com.tj", ".google.tl",     ".google.tm",
     ".google.tn",     ".google.to",     ".google.com.tr", ".google.tt",     ".google.com.tw",
     ".google.co.tz",  ".google.com.ua", ".google.co.ug",  ".google.co.uk",  ".google.com.uy",
     ".google.co.uz",  ".google.com.vc", ".google.co.ve",  ".google.co.vi",  ".google.com.vn",
     ".google.vu",     ".google.ws",     ".google.rs",     ".google.co.za",  ".google.co.zm",
     ".google.co.zw",  ".google.cat"});

constexpr bool allGoogleDomains() {
    for (const std::string_view domain : kGoogleSearchDomains) {
        if (!domain.starts_with(".google.") || domain.size() <= 8 || domain.ends_with('.') ||
            domain.find("..") != std::string_view::npos) {
            return false;
        }
    }
    return true;
}
static_assert(allGoogleDomains(), "every entry is .google. followed by a suffix");

// name is in normal form (normal_name.h).
bool isGoogleSearchDomain(std::string_view name) {
    if (name.starts_with("www.")) {
        name.remove_prefix(4);
    }
    if (!name.starts_with("google.")) {
        return false;
    }
    for (const std::string_view domain : kGoogleSearchDomains) {
        if (domain.substr(1) == name) {
            return true;
        }
    }
    return false;
}

// name equals domain, or domain preceded by one of the given labels.
bool isDomainOrPrefixed(std::string_view name, std::string_view domain,
                        std::initializer_list<std::string_view> prefixes) {
    if (name == domain) {
        return true;
    }
    if (name.size() <= domain.size() || !name.ends_with(domain) ||
        name[name.size() - domain.size() - 1] != '.') {
        return false;
    }
    const std::string_view head = name.substr(0, name.size() - domain.size() - 1);
    for (const std::string_view prefix : prefixes) {
        if (head == prefix) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string_view> safeHost(std::string_view name) {
    // Kept by the thread, so a non-ASCII name allocates only the first time.
    thread_local std::string spill;
    char buffer[kNormalNameBuffer];
    const std::string_view whole = normalName(name, buffer, spill);
    if (isGoogleSearchDomain(whole)) {
        return safehosts::kGoogle;
    }
    if (isDomainOrPrefixed(whole, "bing.com", {"www"})) {
        return safehosts::kBing;
    }
    if (isDomainOrPrefixed(whole, "duckduckgo.com", {"www", "start"})) {
        return safehosts::kDuckDuckGo;
    }
    return std::nullopt;
}

SafeSearch& SafeSearch::shared() {
    static SafeSearch instance(resolveIpv4);
    return instance;
}

SafeSearch::SafeSearch(Resolver resolver) : resolver_(std::move(resolver)) {
    ips_.emplace(std::string(safehosts::kGoogle), safehosts::kGoogleBuiltIn);
    ips_.emplace(std::string(safehosts::kBing), safehosts::kBingBuiltIn);
    ips_.emplace(std::string(safehosts::kDuckDuckGo), safehosts::kDuckDuckGoBuiltIn);
}

void SafeSearch::refresh() {
    for (const std::string_view host :
         {safehosts::kGoogle, safehosts::kBing, safehosts::kDuckDuckGo}) {
        const std::optional<Ipv4> address = resolver_(host);
        if (!address || *address == Ipv4{0, 0, 0, 0}) {
            continue;
        }
        const std::lock_guard<std::mutex> guard(lock_);
        ips_.insert_or_assign(std::string(host), *address);
    }
}

std::optional<Ipv4> SafeSearch::addressOf(std::string_view host) const {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = ips_.find(host);
    if (found == ips_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<Ipv4> resolveIpv4(std::string_view host) {
    const std::string name(host);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0) {
        return std::nullopt;
    }
    std::optional<Ipv4> address;
    if (results != nullptr && results->ai_addr != nullptr &&
        results->ai_addr->sa_family == AF_INET &&
        results->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, results->ai_addr, sizeof v4);
        Ipv4 bytes;
        std::memcpy(bytes.data(), &v4.sin_addr.s_addr, 4);
        address = bytes;
    }
    ::freeaddrinfo(results);
    return address;
}

}  // namespace tranca
