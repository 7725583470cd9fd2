// The one dark, blue look of Amparo's windows: the palette, the fonts, and
// the symbols (named as the design names them, drawn from bootstrap-icons
// and coloured at run time).
#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPixmap>
#include <QQuickImageProvider>
#include <QString>

namespace amparo::ui {

// The symbol file for a design symbol name; empty when the table has none.
QString symbolFile(const QString& symbolName);
// The symbol drawn in one colour at a size (device-independent pixels).
QPixmap symbolPixmap(const QString& symbolName, const QColor& color, int size,
                     qreal devicePixelRatio = 1.0);

// Registers the font files among the resources for this process; a file
// that fails is skipped (the windows then use the system's font).
void registerFonts();

class Theme : public QObject {
    Q_OBJECT
#define AMPARO_COLOR(name) Q_PROPERTY(QColor name MEMBER name CONSTANT)
    AMPARO_COLOR(night)
    AMPARO_COLOR(navy)
    AMPARO_COLOR(hairline)
    AMPARO_COLOR(textPrimary)
    AMPARO_COLOR(textBody)
    AMPARO_COLOR(textSecondary)
    AMPARO_COLOR(textMuted)
    AMPARO_COLOR(accent)
    AMPARO_COLOR(accentStrong)
    AMPARO_COLOR(onAccent)
    AMPARO_COLOR(gold)
    AMPARO_COLOR(coral)
    AMPARO_COLOR(heart)
    AMPARO_COLOR(windowBackground)
    AMPARO_COLOR(donateStart)
    AMPARO_COLOR(donateMiddle)
    AMPARO_COLOR(donateEnd)
#undef AMPARO_COLOR
#define AMPARO_FONT(name) Q_PROPERTY(QFont name MEMBER name CONSTANT)
    AMPARO_FONT(display)
    AMPARO_FONT(heading)
    AMPARO_FONT(body)
    AMPARO_FONT(bodyBold)
    AMPARO_FONT(caption)
    AMPARO_FONT(captionBold)
    AMPARO_FONT(quote)
    AMPARO_FONT(system)
#undef AMPARO_FONT

  public:
    explicit Theme(QObject* parent = nullptr);

    // "image://simbolo/<name>/<rrggbb>", for Image.source in the views.
    Q_INVOKABLE QString symbol(const QString& name, const QColor& color) const;

    QColor night{5, 11, 24};
    QColor navy{16, 34, 74};
    QColor hairline{255, 255, 255, 31};
    QColor textPrimary{242, 245, 251};
    QColor textBody{201, 214, 238};
    QColor textSecondary{169, 195, 236};
    QColor textMuted{125, 148, 189};
    QColor accent{143, 193, 245};
    QColor accentStrong{90, 160, 232};
    QColor onAccent{7, 26, 51};
    QColor gold{226, 189, 98};
    QColor coral{229, 123, 108};
    QColor heart{255, 77, 125};
    // The window behind everything: red 0.02, green 0.043, blue 0.094.
    QColor windowBackground = QColor::fromRgbF(0.02f, 0.043f, 0.094f);
    QColor donateStart{255, 154, 98};
    QColor donateMiddle{255, 77, 125};
    QColor donateEnd{194, 24, 91};

    QFont display;
    QFont heading;
    QFont body;
    QFont bodyBold;
    QFont caption;
    QFont captionBold;
    QFont quote;
    QFont system;
};

// Serves "image://simbolo/<name>/<rrggbb>" at the size the view asks for.
class SymbolProvider : public QQuickImageProvider {
  public:
    SymbolProvider() : QQuickImageProvider(QQuickImageProvider::Pixmap) {}
    QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requestedSize) override;
};

}  // namespace amparo::ui
