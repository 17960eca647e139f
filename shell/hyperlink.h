// A painted link label: sized to its caption on every paint, red while the mouse is over
// it, magenta (from the next leave on) once clicked; a click opens its URL with the
// desktop's default handler, silently when that fails.
#pragma once

#include <QColor>
#include <QFont>
#include <QWidget>
#include <functional>

namespace shell {

class THyperLink : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* kDefaultUrl = "http://www.vantro.example.com/";

    explicit THyperLink(QWidget* parent = nullptr);

    QString URL() const { return url_; }
    void SetURL(const QString& url);
    QString Caption() const { return caption_; }
    void SetCaption(const QString& caption);
    QColor Color() const { return color_; }
    void SetColor(const QColor& color);
    QString FontName() const { return fontName_; }
    void SetFontName(const QString& name);
    QColor LinkColor() const { return linkColor_; }
    QColor TextColor() const { return textColor_; }

    // Opens a URL; replaceable for tests. Default: QDesktopServices::openUrl.
    std::function<void(const QString&)> Open;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    QString url_ = kDefaultUrl;
    QString caption_ = kDefaultUrl;
    QColor color_;
    QString fontName_;
    QColor linkColor_ = QColor(0, 0, 255);
    QColor textColor_ = QColor(0, 0, 255);
};

} // namespace shell
