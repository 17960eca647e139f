// TMenuPainter: the flat menu look (icon column, framed selection bar, dimmed glyphs) as a Qt
// style over the application's own, for the window's menus and the tray menu. Widgets (or
// their parents) tagged 999 (the dynamic property "tag") keep the ordinary look.
#pragma once

#include <QColor>
#include <QFont>
#include <QProxyStyle>

namespace shell {

// Moves each channel towards 255 by p percent of the distance (p capped at 100, rounded).
QColor Lighten(const QColor& color, int percent);
// Red and blue minus n, green minus n - 2, clamped.
QColor Darken(const QColor& color, int n);
// (r + g + b) / 3 + n, capped at 240, on all three channels.
QColor Gray(const QColor& color, int n);

struct MenuPalette {
    QColor background, iconColumn, selectFill, selectBorder, selectFont, menuBar, disabled, checked,
        separator, checkedArea, checkedSelectedArea, menuBorder, menuShadow;
};

class TMenuPainter : public QProxyStyle {
  public:
    TMenuPainter();

    int DimLevel = 30;
    int GrayLevel = 10;
    QFont Font;
    QColor Color, IconBackColor, MenuBarColor, SelectColor, SelectBorderColor, SelectFontColor,
        DisabledColor, SeparatorColor, CheckedColor;
    int IconWidth = 24;
    bool DrawSelect = true;
    bool UseSystemColors = true;
    bool Gradient = false;
    bool FlatMenu = false;
    bool Active = false;

    // The palette in force for the next item, from the system colours or the properties.
    MenuPalette EffectivePalette(const QPalette& system, int displayDepth) const;
    // Width and height of one item: separators ("-") are 4 high; text width + 5 (less "&"),
    // plus the glyph column, plus 8 for top-level bar items; height text + 3/4, at least
    // the glyph + 6. Only ever enlarges `proposed`.
    QSize MeasureItem(const QString& caption, const QString& shortcut, int glyphWidth,
                      int glyphHeight, bool topLevel, const QFontMetrics& metrics,
                      QSize proposed) const;

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;

  private:
    bool LeftAlone(const QWidget* widget) const;
};

} // namespace shell
