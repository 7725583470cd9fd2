#include "app/core/probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <array>
#include <vector>

#include "app/core/os_table.h"
#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"
#include "contract/notices.h"
#include "contract/wait.h"
#include "platform/network_store.h"
#include "platform/posix/file_util.h"

namespace amparo {

namespace {

// Lists far beyond any real block list are not read at all, so a runaway
// file cannot take the app's memory.
constexpr std::size_t kMaxListBytes = 256u << 20;
constexpr std::size_t kMaxSmallFileBytes = 16u << 20;
constexpr std::size_t kDnsHeaderBytes = 12;
constexpr std::size_t kReplyBuffer = 512;

std::optional<std::string> readBytes(const QString& path, std::size_t maxBytes) {
    return tranca::platform::posix_files::readFile(QFile::encodeName(path).toStdString(), maxBytes);
}

std::string_view trimmed(std::string_view line) {
    constexpr std::string_view kBlank = " \t\r";
    const auto first = line.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(kBlank) - first + 1);
}

std::optional<QString> firstEntry(const QString& path) {
    const QStringList entries = readListFile(path);
    return entries.isEmpty() ? std::nullopt : std::optional<QString>(entries.front());
}

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

std::optional<QByteArray> sha256(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return std::nullopt;
    }
    return hash.result().toHex();
}

std::vector<std::byte> statusQuery(std::uint16_t id) {
    std::vector<std::byte> query;
    const auto put = [&query](unsigned value) { query.push_back(std::byte(value & 0xff)); };
    put(id >> 8);
    put(id);
    put(0x01);  // recursion desired, nothing else
    put(0x00);
    for (const unsigned count : {1u, 0u, 0u, 0u}) {
        put(count >> 8);
        put(count);
    }
    std::string_view name = kStatusName;
    while (!name.empty()) {
        const auto dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        if (!label.empty()) {
            put(static_cast<unsigned>(label.size()));
            for (const char c : label) {
                put(static_cast<unsigned char>(c));
            }
        }
        name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    }
    put(0);
    for (const unsigned field : {0x0001u, 0x0001u}) {  // QTYPE A, QCLASS IN
        put(field >> 8);
        put(field);
    }
    return query;
}

}  // namespace

ProbeSettings ProbeSettings::product(const QString& applicationDirectory) {
    const auto& table = os::kCurrent;
    const QString data = qtext(table.paths.dataDirectory) + QLatin1Char('/');
    ProbeSettings settings;
    settings.daemonJobFile = qtext(table.paths.daemonJobFile);
    settings.proxyJobFile = qtext(table.paths.proxyJobFile);
    for (const std::string_view tool : table.proxyTools) {
        settings.proxyTools << qtext(tool);
    }
    settings.installedDaemon = data + QStringLiteral("trancad");
    settings.blocklist = data + QStringLiteral("blocklist.txt");
    settings.customList = data + QStringLiteral("custom.txt");
    settings.allowList = data + QStringLiteral("allow.txt");
    settings.redirectFile = data + QStringLiteral("redirect.txt");
    settings.waitSocket = qtext(wait::kSocketPath);
    if (!applicationDirectory.isEmpty()) {
        settings.daemonCopy = applicationDirectory + QStringLiteral("/trancad");
    }
    return settings;
}

void forEachListEntry(std::string_view text, const std::function<void(std::string_view)>& take) {
    // A byte-order mark is an editor's, not part of the first entry.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view entry = trimmed(text.substr(0, end));
        if (!entry.empty() && entry.front() != '#') {
            take(entry);
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

std::optional<std::string> readUserListBytes(const QString& path) {
    return readBytes(path, kMaxSmallFileBytes);
}

QStringList readListFile(const QString& path) {
    QStringList entries;
    if (const auto bytes = readUserListBytes(path)) {
        forEachListEntry(*bytes, [&entries](std::string_view entry) { entries << qtext(entry); });
    }
    return entries;
}

QString fileStamp(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return QStringLiteral("0-0");
    }
    const double seconds =
        static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
    return QString::number(static_cast<quint64>(info.st_size)) + QLatin1Char('-') +
           QString::number(seconds, 'f', 9);
}

bool probeDaemon(quint16 port, std::chrono::milliseconds timeout, quint32 address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto id = static_cast<std::uint16_t>(QRandomGenerator::global()->bounded(65535u) + 1);
    const std::vector<std::byte> query = statusQuery(id);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(port);
    daemon.sin_addr.s_addr = htonl(address);
    bool answered = false;
    const ssize_t sent = ::sendto(fd, query.data(), query.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon);
    if (sent == static_cast<ssize_t>(query.size())) {
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) > 0) {
            std::array<std::uint8_t, kReplyBuffer> reply{};
            const ssize_t got = ::recv(fd, reply.data(), reply.size(), 0);
            answered = got >= static_cast<ssize_t>(kDnsHeaderBytes) && reply[0] == (id >> 8) &&
                       reply[1] == (id & 0xff);
        }
    }
    ::close(fd);
    return answered;
}

std::optional<QStringList> resolveWithSystem(const QString& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.toUtf8().constData(), nullptr, &hints, &found) != 0) {
        return std::nullopt;
    }
    QStringList addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr &&
            !addresses.contains(QLatin1String(text))) {
            addresses << QLatin1String(text);
        }
    }
    ::freeaddrinfo(found);
    return addresses;
}

ServiceServers readServiceServers(tranca::platform::NetworkStore& store) {
    using tranca::platform::Protocol;
    const std::optional<std::string> primary = store.primaryService();
    ServiceServers result{.lists = {}, .primaryKnown = primary.has_value()};
    for (const auto& service : store.services()) {
        if (!service.enabled) {
            continue;
        }
        QStringList servers;
        if (const auto dns = store.configuration(service.id, Protocol::dns)) {
            for (const std::string& server :
                 tranca::platform::textListValue(*dns, "ServerAddresses")
                     .value_or(std::vector<std::string>{})) {
                servers << QString::fromStdString(server);
            }
        }
        if (primary && *primary == service.id) {
            return {.lists = {servers}, .primaryKnown = true};
        }
        result.lists.push_back(servers);
    }
    return result;
}

ServiceServers systemServiceServers() {
    const auto store = tranca::platform::openNetworkStore("Amparo");
    return store ? readServiceServers(*store) : ServiceServers{};
}

Prober::Prober(ProbeSettings settings, ServersSource servers, Resolver resolve)
    : settings_(std::move(settings)), servers_(std::move(servers)), resolve_(std::move(resolve)) {}

bool Prober::daemonIsOutdated() {
    if (settings_.daemonCopy.isEmpty()) {
        return false;
    }
    const QString stamp =
        fileStamp(settings_.installedDaemon) + QLatin1Char('|') + fileStamp(settings_.daemonCopy);
    if (stamp == daemonStamp_) {
        return daemonOutdated_;
    }
    daemonStamp_ = stamp;
    // No code signatures here: the digests of the two programs decide.
    const auto installed = sha256(settings_.installedDaemon);
    const auto copy = sha256(settings_.daemonCopy);
    daemonOutdated_ = installed.has_value() != copy.has_value() || installed != copy;
    return daemonOutdated_;
}

qint64 Prober::countListEntries() {
    const QString stamp =
        fileStamp(settings_.blocklist) + QLatin1Char('|') + fileStamp(settings_.customList);
    if (stamp == listStamp_) {
        return listCount_;
    }
    listStamp_ = stamp;
    const std::string blocklist = readBytes(settings_.blocklist, kMaxListBytes).value_or("");
    const std::string custom = readUserListBytes(settings_.customList).value_or("");
    // Sorted by hash, then by text: equal entries end up side by side without
    // a node allocated per entry, and equal hashes still compare the text.
    using Entry = std::pair<std::size_t, std::string_view>;
    std::vector<Entry> entries;
    entries.reserve(blocklist.size() / 20 + custom.size() / 16 + 16);
    const auto take = [&entries](std::string_view entry) {
        entries.emplace_back(std::hash<std::string_view>{}(entry), entry);
    };
    forEachListEntry(blocklist, take);
    forEachListEntry(custom, take);
    std::sort(entries.begin(), entries.end());
    listCount_ = std::distance(entries.begin(), std::unique(entries.begin(), entries.end()));
    return listCount_;
}

ProtectionSnapshot Prober::gather() {
    ProtectionSnapshot snapshot;
    StateInputs inputs;
    snapshot.installed = inputs.installed = QFileInfo::exists(settings_.daemonJobFile);
    snapshot.contentFilter = QFileInfo::exists(settings_.proxyJobFile);
    snapshot.mitmAvailable =
        std::any_of(settings_.proxyTools.begin(), settings_.proxyTools.end(), isExecutableFile);
    if (!snapshot.installed) {
        servers_();  // read as always; the state does not depend on it
        snapshot.protection = Protection::notInstalled;
        return snapshot;
    }
    snapshot.outdated = inputs.outdated = daemonIsOutdated();
    snapshot.listCount = countListEntries();
    const QFileInfo list(settings_.blocklist);
    if (list.exists()) {
        snapshot.listDate = list.lastModified();
    }
    snapshot.customBlocked = readListFile(settings_.customList);
    snapshot.allowed = readListFile(settings_.allowList);
    snapshot.redirectLine = firstEntry(settings_.redirectFile);
    // Whether or not it filters, the daemon may hold changes that wait.
    const auto reply =
        askWaitSocket(settings_.waitSocket, wait::kListCommand, settings_.probeTimeout);
    if (const auto parsed = reply ? parseWaitReply(*reply) : std::nullopt) {
        snapshot.waitSeconds = parsed->waitSeconds;
        snapshot.pending = parsed->pending;
    }
    // Asked only of a daemon that just answered: a silent one costs one wait.
    if (reply) {
        const auto notices =
            askWaitSocket(settings_.waitSocket, notices::kNoticesCommand, settings_.probeTimeout);
        snapshot.notices = notices ? parseNoticesReply(*notices) : std::nullopt;
    }
    inputs.probeAnswered = probeDaemon(settings_.dnsPort, settings_.probeTimeout);
    if (inputs.probeAnswered) {
        snapshot.dnsLocked = probeDaemon(53, settings_.probeTimeout, kLockProbeAddress);
    }
    if (inputs.probeAnswered && !inputs.outdated) {
        const auto addresses = resolve_(qtext(kStatusName));
        inputs.systemResolvesThroughFilter =
            addresses && *addresses == QStringList{qtext(kStatusAddress)};
    }
    inputs.serviceServers = servers_();
    snapshot.protection = decideProtection(inputs);
    return snapshot;
}

}  // namespace amparo
