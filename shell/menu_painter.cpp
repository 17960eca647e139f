#include "shell/menu_painter.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionMenuItem>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace shell {

QColor Lighten(const QColor& c, int percent) {
    int p = std::clamp(percent, 0, 100);
    auto channel = [p](int v) { return v + static_cast<int>(std::lround((255 - v) * p / 100.0)); };
    return QColor(channel(c.red()), channel(c.green()), channel(c.blue()));
}

QColor Darken(const QColor& c, int n) {
    return QColor(std::clamp(c.red() - n, 0, 255), std::clamp(c.green() - (n - 2), 0, 255),
                  std::clamp(c.blue() - n, 0, 255));
}

QColor Gray(const QColor& c, int n) {
    int v = std::min((c.red() + c.green() + c.blue()) / 3 + n, 240);
    return QColor(v, v, v);
}

TMenuPainter::TMenuPainter() {
    QPalette system = QApplication::palette();
    Font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC")});
    Font.setPixelSize(12);
    Color = IconBackColor = MenuBarColor = SeparatorColor = system.color(QPalette::Button);
    SelectColor = SelectBorderColor = CheckedColor = system.color(QPalette::Highlight);
    SelectFontColor = system.color(QPalette::WindowText);
    DisabledColor = system.color(QPalette::Disabled, QPalette::WindowText);
}

MenuPalette TMenuPainter::EffectivePalette(const QPalette& s, int depth) const {
    MenuPalette m;
    QColor face = s.color(QPalette::Button), highlight = s.color(QPalette::Highlight),
           shadow = s.color(QPalette::Dark);
    bool high = depth > 15;
    if (UseSystemColors && high) {
        m.background = Lighten(face, 86);
        m.iconColumn = Lighten(face, 16);
        m.selectFill = Lighten(highlight, 68);
        m.selectBorder = highlight;
        m.menuBar = face;
        m.disabled = Lighten(shadow, 10);
        m.separator = Lighten(shadow, 25);
        m.checked = highlight;
        m.checkedArea = Lighten(highlight, 80);
        m.checkedSelectedArea = Lighten(highlight, 50);
        m.menuBorder = Darken(face, 90);
        m.menuShadow = Darken(face, 76);
    } else if (UseSystemColors) {
        m.background = Qt::white;
        m.iconColumn = face;
        m.selectFill = Qt::white;
        m.selectBorder = highlight;
        m.menuBar = face;
        m.disabled = m.separator = shadow;
        m.checked = highlight;
        m.checkedArea = m.checkedSelectedArea = Qt::white;
        m.menuBorder = Darken(face, 90);
        m.menuShadow = Darken(face, 76);
    } else {
        m.background = Color;
        m.iconColumn = IconBackColor;
        m.selectFill = high ? Lighten(SelectColor, 68) : SelectColor;
        m.selectBorder = SelectBorderColor;
        m.menuBar = MenuBarColor;
        m.disabled = DisabledColor;
        m.separator = SeparatorColor;
        m.checked = CheckedColor;
        m.checkedArea = high ? Lighten(SelectColor, 80) : SelectColor;
        m.checkedSelectedArea = high ? Lighten(SelectColor, 50) : SelectColor;
        m.menuBorder = Darken(Color, 90);
        m.menuShadow = Darken(Color, 76);
    }
    m.selectFont = SelectFontColor;
    return m;
}

QSize TMenuPainter::MeasureItem(const QString& caption, const QString& shortcut, int glyphWidth,
                                int glyphHeight, bool topLevel, const QFontMetrics& metrics,
                                QSize proposed) const {
    if (caption == "-") return QSize(proposed.width(), 4);
    QString text = caption;
    if (!shortcut.isEmpty()) text += "WWW" + shortcut;
    int width = metrics.horizontalAdvance(text) + 5;
    if (caption.contains('&')) width -= metrics.horizontalAdvance('&');
    width += topLevel ? glyphWidth : std::max(glyphWidth, IconWidth);
    if (topLevel) width += 8;
    int height = metrics.height() + static_cast<int>(std::lround(metrics.height() * 0.75));
    height = std::max(height, glyphHeight + 6);
    return QSize(std::max(width, proposed.width()), std::max(height, proposed.height()));
}

bool TMenuPainter::LeftAlone(const QWidget* widget) const {
    if (!Active || !widget) return !Active;
    if (widget->property("tag").toInt() == 999) return true;
    return widget->parentWidget() && widget->parentWidget()->property("tag").toInt() == 999;
}

QSize TMenuPainter::sizeFromContents(ContentsType type, const QStyleOption* option,
                                     const QSize& size, const QWidget* widget) const {
    QSize proposed = QProxyStyle::sizeFromContents(type, option, size, widget);
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (type != CT_MenuItem || !item || LeftAlone(widget)) return proposed;
    if (item->menuItemType == QStyleOptionMenuItem::Separator) return QSize(proposed.width(), 4);
    QString caption = item->text.section('\t', 0, 0);
    QString shortcut = item->text.section('\t', 1);
    QSize glyph = item->icon.isNull() ? QSize(0, 0) : QSize(16, 16);
    return MeasureItem(caption, shortcut, glyph.width(), glyph.height(), false, QFontMetrics(Font),
                       proposed);
}

void TMenuPainter::drawControl(ControlElement element, const QStyleOption* option,
                               QPainter* painter, const QWidget* widget) const {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (element != CE_MenuItem || !item || LeftAlone(widget))
        return QProxyStyle::drawControl(element, option, painter, widget);
    MenuPalette pal = EffectivePalette(option->palette, widget ? widget->depth() : 24);
    QRect r = option->rect;
    painter->save();
    painter->fillRect(r, pal.background);
    bool rtl = option->direction == Qt::RightToLeft;
    QRect column = rtl ? QRect(r.right() - IconWidth + 1, r.top(), IconWidth, r.height())
                       : QRect(r.left(), r.top(), IconWidth, r.height());
    painter->fillRect(column, pal.iconColumn);
    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
        int y = r.top() + r.height() / 2;
        painter->setPen(pal.separator);
        painter->drawLine(r.left() + IconWidth + 7, y, r.right(), y);
        painter->restore();
        return;
    }
    bool enabled = option->state & State_Enabled;
    bool selected = option->state & State_Selected;
    if (selected && DrawSelect && enabled) {
        QRect bar = r.adjusted(0, 1, -1, -2);
        painter->fillRect(bar, pal.selectFill);
        painter->setPen(pal.selectBorder);
        painter->drawRect(bar);
    }
    if (!item->icon.isNull()) {
        QPixmap glyph = item->icon.pixmap(16, 16, enabled ? QIcon::Normal : QIcon::Disabled);
        painter->drawPixmap(column.left() + (IconWidth - 16) / 2 - (selected ? 1 : 0),
                            r.top() + 3 - (selected ? 1 : 0), glyph);
    }
    painter->setFont(Font);
    painter->setPen(enabled
                        ? (selected ? pal.selectFont : option->palette.color(QPalette::WindowText))
                        : pal.disabled);
    QRect text = r.adjusted(IconWidth + 3, 0, -3, 0);
    painter->drawText(text, Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::AlignLeft,
                      item->text.section('\t', 0, 0));
    painter->drawText(text, Qt::AlignVCenter | Qt::AlignRight, item->text.section('\t', 1));
    painter->restore();
}

} // namespace shell
