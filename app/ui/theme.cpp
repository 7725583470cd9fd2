#include "app/ui/theme.h"

#include <QDirIterator>
#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QSvgRenderer>

namespace amparo::ui {

namespace {

// Design symbol names → bootstrap-icons files, the one place they meet.
struct SymbolRow {
    const char* symbol;
    const char* file;
};
constexpr SymbolRow kSymbols[] = {
    {"shield", "shield"},
    {"shield.fill", "shield-fill"},
    {"shield.slash", "shield-slash"},
    {"shield.slash.fill", "shield-slash-fill"},
    {"checkmark.shield.fill", "shield-fill-check"},
    {"shield.lefthalf.filled", "shield-shaded"},
    {"exclamationmark.shield.fill", "shield-fill-exclamation"},
    {"exclamationmark.shield", "shield-exclamation"},
    {"wifi", "wifi"},
    {"wifi.exclamationmark", "wifi-off"},
    {"arrow.clockwise", "arrow-clockwise"},
    {"wrench.and.screwdriver.fill", "tools"},
    {"arrow.down.circle.fill", "arrow-down-circle-fill"},
    {"heart", "heart"},
    {"heart.fill", "heart-fill"},
    {"quote.opening", "quote"},
    {"chevron.left", "chevron-left"},
    {"chevron.right", "chevron-right"},
    {"chevron.down", "chevron-down"},
    {"list.bullet.rectangle.fill", "card-list"},
    {"hand.raised.fill", "hand-index-thumb-fill"},
    {"arrow.uturn.right", "arrow-return-right"},
    {"text.magnifyingglass", "search"},
    {"lock.fill", "lock-fill"},
    {"nosign", "ban"},
    {"checkmark.seal", "patch-check"},
    {"plus", "plus-lg"},
    {"minus.circle.fill", "dash-circle-fill"},
    {"checkmark.circle.fill", "check-circle-fill"},
    {"hourglass", "hourglass-split"},
    {"timer", "stopwatch"},
    {"envelope", "envelope"},
    {"person.badge.shield", "person-check-fill"},
};

// Bold and semibold glyphs are what the design asks for beside text; the
// regular weight of a sans family is the fallback when a file is missing.
QFont font(const QString& family, int pixelSize, QFont::Weight weight, bool italic = false) {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setItalic(italic);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace

QString symbolFile(const QString& symbolName) {
    for (const SymbolRow& row : kSymbols) {
        if (symbolName == QLatin1String(row.symbol)) {
            return QStringLiteral(":/simbolos/%1.svg").arg(QLatin1String(row.file));
        }
    }
    return {};
}

QPixmap symbolPixmap(const QString& symbolName, const QColor& color, int size,
                     qreal devicePixelRatio) {
    const int pixels = qMax(1, qRound(size * devicePixelRatio));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(symbolFile(symbolName));
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter);
        // The glyph's shape, in the colour asked for.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

void registerFonts() {
    QDirIterator files(QStringLiteral(":/fuentes"), {QStringLiteral("*.ttf")});
    while (files.hasNext()) {
        QFontDatabase::addApplicationFont(files.next());
    }
}

Theme::Theme(QObject* parent)
    : QObject(parent),
      display(font(QStringLiteral("Baloo 2"), 30, QFont::Bold)),
      heading(font(QStringLiteral("Baloo 2"), 19, QFont::Bold)),
      body(font(QStringLiteral("Nunito"), 14, QFont::Normal)),
      bodyBold(font(QStringLiteral("Nunito"), 14, QFont::Bold)),
      caption(font(QStringLiteral("Nunito"), 12, QFont::Normal)),
      captionBold(font(QStringLiteral("Nunito"), 12, QFont::Bold)),
      quote(font(QStringLiteral("Nunito"), 14, QFont::Normal, true)),
      system(QFontDatabase::systemFont(QFontDatabase::GeneralFont)) {}

QString Theme::symbol(const QString& name, const QColor& color) const {
    return QStringLiteral("image://simbolo/%1/%2").arg(name, color.name(QColor::HexArgb).mid(1));
}

QPixmap SymbolProvider::requestPixmap(const QString& id, QSize* size, const QSize& requestedSize) {
    const qsizetype slash = id.lastIndexOf(u'/');
    const QString name = id.left(slash);
    const QColor color(u'#' + id.mid(slash + 1));
    const int side =
        requestedSize.isValid() ? qMax(requestedSize.width(), requestedSize.height()) : 32;
    const QPixmap pixmap = symbolPixmap(name, color.isValid() ? color : QColor(Qt::white), side);
    if (size) {
        *size = pixmap.size();
    }
    return pixmap;
}

}  // namespace amparo::ui
