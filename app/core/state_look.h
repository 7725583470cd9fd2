// How each protection state looks wherever Amparo shows it: the shield in the
// panel with its line, and the window's status card with its tile, colour,
// title and detail, which a notification of the state repeats. One row a
// state, so the surfaces never name a state two ways by accident.
#pragma once

#include <string_view>

#include "app/core/snapshot.h"

namespace amparo {

// The theme's colours a state is drawn in; the views map them to their own.
enum class StateColor { muted, accent, gold, coral };

struct StateLook {
    Protection protection;
    // Symbols by their SF Symbol names; the theme maps them to icons. The
    // panel draws its shield as an outline, light on a dark rim, the card
    // its tile in colour: each surface has the symbol that reads there.
    const char* panelSymbol;
    std::string_view panelText;  // the menu's first row, and the tooltip
    const char* cardSymbol;
    StateColor color;
    std::string_view title;
    std::string_view detail;
};

const StateLook& stateLook(Protection protection);

}  // namespace amparo
