#include "shell/hyperlink.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace shell {

THyperLink::THyperLink(QWidget* parent) : QWidget(parent) {
    color_ = palette().color(QPalette::Button);
    QFont f = font();
    f.setBold(true);
    f.setUnderline(true);
    setFont(f);
    resize(100, 10);
    setCursor(Qt::PointingHandCursor);
    Open = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); }; // failure: silent
}

void THyperLink::SetURL(const QString& url) {
    url_ = url;
}

void THyperLink::SetCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    update();
}

void THyperLink::SetColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void THyperLink::SetFontName(const QString& name) {
    if (name == fontName_) return;
    fontName_ = name;
    QFont f = font();
    f.setFamily(name);
    setFont(f);
    update();
}

void THyperLink::paintEvent(QPaintEvent*) {
    QFontMetrics metrics(font());
    QSize wanted(metrics.horizontalAdvance(caption_) + 6, metrics.height() + 2);
    if (size() != wanted) resize(wanted); // a longer caption still shows whole
    QPainter p(this);
    p.fillRect(rect(), color_);
    p.setPen(textColor_);
    p.setFont(font());
    p.drawText(QPoint(3, 1 + metrics.ascent()), caption_);
}

void THyperLink::enterEvent(QEnterEvent*) {
    textColor_ = QColor(255, 0, 0);
    update();
}

void THyperLink::leaveEvent(QEvent*) {
    textColor_ = linkColor_;
    update();
}

void THyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        if (Open) Open(url_);
        linkColor_ = QColor(255, 0, 255);
    }
    QWidget::mousePressEvent(event);
}

} // namespace shell
