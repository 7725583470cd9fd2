#include "daemon/wait/pending_changes.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "contract/notices.h"
#include "contract/wait_protocol.h"
#include "daemon/lists/list_file.h"
#include "daemon/text.h"

namespace tranca {

namespace {

struct ActionRow {
    PendingAction action;
    std::string_view word;
    std::string_view phrase;
    // The installed script that carries it out; none for what trancad does itself.
    std::string_view script;
};

constexpr std::array<ActionRow, 6> kActions{{
    {PendingAction::deactivate, amparo::wait::kDeactivate, "la protección se desactivará",
     "disable.sh"},
    {PendingAction::uninstall, amparo::wait::kUninstall, "Amparo se desinstalará", "uninstall.sh"},
    {PendingAction::keywordFilterOff, amparo::wait::kKeywordFilterOff,
     "el filtro por palabras se apagará", "proxy_uninstall.sh"},
    {PendingAction::sites, amparo::wait::kSites, "los cambios de sitios se aplicarán", {}},
    {PendingAction::shortenWait, amparo::wait::kShortenWait, "la espera bajará", {}},
    {PendingAction::trustedPerson,
     amparo::notices::kChangePerson,
     "la persona de confianza cambiará",
     {}},
}};

constexpr std::string_view kHeader =
    "# Amparo: la espera para aflojar y los cambios que la esperan.\n"
    "# Lo escribe trancad; un archivo que no se entiende entero no se usa.\n";
constexpr std::size_t kMaxName = 253;

std::optional<std::int64_t> number(std::string_view text) {
    const auto value = text::parseInteger(text);
    return value && *value >= 0 ? value : std::nullopt;
}

// The first word of rest, rest left after it and one space.
std::string_view takeWord(std::string_view& rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    return word;
}

bool isStoredName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxName &&
           std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

// The settings text as one word of the file: two hex digits a byte.
std::string hexText(std::string_view bytes) {
    static constexpr std::string_view kDigits = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
    }
    return hex;
}

std::optional<std::string> fromHex(std::string_view hex) {
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (hex.size() % 2 != 0 || hex.size() > 2 * amparo::notices::kMaxSettingsBytes) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

std::vector<std::string> namesOf(std::string_view text) {
    std::vector<std::string> names;
    parseListText(text).forEach([&](std::string_view name) { names.emplace_back(name); });
    return names;
}

bool holds(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// text without the lines naming any of names; comments and blank lines stay.
std::string withoutLinesNaming(std::string_view text, const std::vector<std::string>& names) {
    std::string kept;
    text::forEachLine(text, [&](std::string_view line) {
        bool named = false;
        parseListText(line).forEach([&](std::string_view name) { named |= holds(names, name); });
        if (!named) {
            kept.append(line).push_back('\n');
        }
    });
    return kept;
}

std::string endingInNewline(std::string_view text) {
    std::string out(text);
    if (!out.empty() && out.back() != '\n') {
        out.push_back('\n');
    }
    return out;
}

}  // namespace

std::string_view actionWord(PendingAction action) {
    for (const ActionRow& row : kActions) {
        if (row.action == action) {
            return row.word;
        }
    }
    return {};
}

std::string_view scriptFor(PendingAction action) {
    for (const ActionRow& row : kActions) {
        if (row.action == action) {
            return row.script;
        }
    }
    return {};
}

std::optional<PendingAction> actionFromWord(std::string_view word) {
    for (const ActionRow& row : kActions) {
        if (row.word == word) {
            return row.action;
        }
    }
    return std::nullopt;
}

bool PendingChange::sameRequestAs(const PendingChange& other) const {
    return action == other.action && newWaitSeconds == other.newWaitSeconds &&
           unblock == other.unblock && allow == other.allow &&
           personSettings == other.personSettings;
}

std::string waitStateText(const WaitState& state) {
    std::string text(kHeader);
    text += "espera " + std::to_string(state.waitSeconds) + "\n";
    text += "siguiente " + std::to_string(state.nextId) + "\n";
    for (const PendingChange& change : state.changes) {
        const std::string id = std::to_string(change.id);
        text += "cambio " + id + " " + std::string(actionWord(change.action)) + " " +
                std::to_string(std::max<std::int64_t>(change.remainingMs, 0)) + " " +
                std::to_string(change.requestedAt) + " " + change.scriptDirectory + "\n";
        if (change.action == PendingAction::shortenWait) {
            text += "nuevaespera " + id + " " + std::to_string(change.newWaitSeconds) + "\n";
        }
        if (change.action == PendingAction::trustedPerson) {
            text += "persona " + id + " " + hexText(change.personSettings) + "\n";
        }
        for (const std::string& name : change.unblock) {
            text += "quitar " + id + " " + name + "\n";
        }
        for (const std::string& name : change.allow) {
            text += "permitir " + id + " " + name + "\n";
        }
        if (!change.failure.empty()) {
            text += "fallo " + id + " " + text::oneLine(change.failure, 300) + "\n";
        }
    }
    return text;
}

std::optional<WaitState> parseWaitState(std::string_view text) {
    WaitState state;
    bool understood = true;
    bool sawWait = false;
    std::uint64_t highestId = 0;
    const auto changeWithId = [&](std::string_view word) -> PendingChange* {
        const auto id = number(word);
        for (PendingChange& change : state.changes) {
            if (id && change.id == static_cast<std::uint64_t>(*id)) {
                return &change;
            }
        }
        return nullptr;
    };
    text::forEachLine(text, [&](std::string_view line) {
        if (!understood || line.empty() || line.front() == '#') {
            return;
        }
        std::string_view rest = line;
        const std::string_view key = takeWord(rest);
        if (key == "espera" || key == "siguiente") {
            const auto value = number(rest);
            understood = value.has_value();
            if (key == "espera") {
                sawWait = understood && isWaitChoice(*value);
                understood = sawWait;
                state.waitSeconds = value.value_or(0);
            } else {
                state.nextId = static_cast<std::uint64_t>(value.value_or(0));
            }
            return;
        }
        if (key == "cambio") {
            PendingChange change;
            const auto id = number(takeWord(rest));
            const auto action = actionFromWord(takeWord(rest));
            const auto remaining = number(takeWord(rest));
            const auto requested = number(takeWord(rest));
            understood = id && *id > 0 && action && remaining && requested &&
                         rest.starts_with('/') && changeWithId(std::to_string(*id)) == nullptr;
            if (understood) {
                change.id = static_cast<std::uint64_t>(*id);
                change.action = *action;
                change.remainingMs = *remaining;
                change.requestedAt = *requested;
                change.scriptDirectory = std::string(rest);
                highestId = std::max(highestId, change.id);
                state.changes.push_back(std::move(change));
            }
            return;
        }
        PendingChange* change = changeWithId(takeWord(rest));
        if (change == nullptr) {
            understood = false;
        } else if (key == "nuevaespera" && change->action == PendingAction::shortenWait) {
            const auto value = number(rest);
            understood = value && isWaitChoice(*value);
            change->newWaitSeconds = value.value_or(0);
        } else if ((key == "quitar" || key == "permitir") &&
                   change->action == PendingAction::sites && isStoredName(rest)) {
            (key == "quitar" ? change->unblock : change->allow).emplace_back(rest);
        } else if (key == "persona" && change->action == PendingAction::trustedPerson) {
            const auto settings = fromHex(rest);
            understood = settings.has_value();
            change->personSettings = settings.value_or("");
        } else if (key == "fallo") {
            change->failure = std::string(rest);
        } else {
            understood = false;
        }
    });
    if (!understood || !sawWait || state.nextId <= highestId) {
        return std::nullopt;
    }
    return state;
}

std::uint64_t enqueue(WaitState& state, PendingChange change) {
    for (const PendingChange& pending : state.changes) {
        if (pending.sameRequestAs(change)) {
            return pending.id;
        }
    }
    change.id = state.nextId++;
    state.changes.push_back(std::move(change));
    return state.changes.back().id;
}

bool isWaitChoice(std::int64_t seconds) {
    return std::find(amparo::wait::kChoices.begin(), amparo::wait::kChoices.end(), seconds) !=
           amparo::wait::kChoices.end();
}

std::string waitText(std::int64_t seconds) {
    if (seconds < 60) {
        return "menos de 1 min";
    }
    const std::int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60) {
        return std::to_string(minutes) + " min";
    }
    const std::string hours = std::to_string(minutes / 60) + " h";
    return minutes % 60 == 0 ? hours : hours + " " + std::to_string(minutes % 60) + " min";
}

std::string pendingWhat(const PendingChange& change) {
    std::string phrase;
    for (const ActionRow& row : kActions) {
        if (row.action == change.action) {
            phrase = row.phrase;
        }
    }
    if (change.action == PendingAction::trustedPerson &&
        change.personSettings.starts_with(std::string(amparo::notices::kAddressKey) + "=\n")) {
        phrase = "la persona de confianza se quitará";
    }
    if (change.action == PendingAction::shortenWait) {
        phrase = change.newWaitSeconds == 0 ? "la espera se quitará"
                                            : phrase + " a " + waitText(change.newWaitSeconds);
    }
    return phrase;
}

std::string pendingPhrase(const PendingChange& change) {
    return pendingWhat(change) + " en " +
           waitText((std::max<std::int64_t>(change.remainingMs, 0) + 999) / 1000);
}

SitesSplit splitSitesSave(std::string_view oldCustom, std::string_view oldAllow,
                          std::string_view newCustom, std::string_view newAllow) {
    SitesSplit split;
    const std::vector<std::string> stillBlocked = namesOf(newCustom);
    for (std::string& name : namesOf(oldCustom)) {
        if (!holds(stillBlocked, name)) {
            split.unblock.push_back(std::move(name));
        }
    }
    const std::vector<std::string> allowedBefore = namesOf(oldAllow);
    for (std::string& name : namesOf(newAllow)) {
        if (!holds(allowedBefore, name)) {
            split.allow.push_back(std::move(name));
        }
    }
    // Blocked until the wait is over: the names the save took out stay listed.
    split.customNow = endingInNewline(newCustom);
    for (const std::string& name : split.unblock) {
        split.customNow += name + "\n";
    }
    split.allowNow = withoutLinesNaming(newAllow, split.allow);
    return split;
}

std::string customWithout(std::string_view custom, const std::vector<std::string>& names) {
    return withoutLinesNaming(custom, names);
}

std::string allowWith(std::string_view allow, const std::vector<std::string>& names) {
    std::string text = endingInNewline(allow);
    const std::vector<std::string> present = namesOf(allow);
    for (const std::string& name : names) {
        if (!holds(present, name)) {
            text += name + "\n";
        }
    }
    return text;
}

}  // namespace tranca
