// Makes Amparo's C++ side known to a QML engine: the theme as the singleton
// "Theme", the symbol images, and the types the views read.
#pragma once

class QQmlEngine;

namespace amparo::ui {

class Theme;

// Call once per process, before loading any QML.
void registerQmlTypes(Theme& theme);
// Call for each engine.
void addImageProviders(QQmlEngine& engine);

}  // namespace amparo::ui
