#include "shell/about_box.h"

#include "shell/jpeg_image.h"

#include <QFrame>
#include <QPixmap>

namespace shell {

namespace {
constexpr int kNameVersionGap = 4;
} // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8("关于本软件"));
    setFixedSize(280, 217);
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setGeometry(0, 0, 280, 150);
    Panel1 = frame;
    ProgramIcon = new QLabel(Panel1);
    QImage product = DecodeJpeg(ProductPictureJpeg());
    ProgramIcon->setPixmap(QPixmap::fromImage(product));
    ProgramIcon->setGeometry(20, 8, product.width(), product.height());
    ProductName = new QLabel(QString::fromUtf8("VantroSMTP服务器"), Panel1);
    QFont nameFont;
    nameFont.setFamilies(
        {QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC")}); // SimSun where installed
    nameFont.setPixelSize(12);
    nameFont.setBold(true);
    ProductName->setFont(nameFont);
    QPalette blue = ProductName->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    ProductName->setPalette(blue);
    ProductName->move(112, 16);
    Version = new QLabel(QStringLiteral("Ver 2.5"), Panel1);
    QFont versionFont(QStringLiteral("Arial"));
    versionFont.setPixelSize(13);
    Version->setFont(versionFont);
    Version->setPalette(blue);
    Version->move(216, 14);
    // Where the installed CJK font draws the name wider than SimSun, the version moves just
    // past its end instead of touching it.
    ProductName->adjustSize();
    Version->adjustSize();
    int nameEnd = ProductName->x() + ProductName->width();
    if (nameEnd + kNameVersionGap > Version->x()) Version->move(nameEnd + kNameVersionGap, 14);
    Image1 = new QLabel(Panel1);
    QImage banner = DecodeJpeg(BannerPictureJpeg());
    Image1->setPixmap(QPixmap::fromImage(banner));
    Image1->setGeometry(20, 64, banner.width(), banner.height());
    auto link = [&](int y, const char* caption, const char* url) {
        auto* l = new THyperLink(Panel1);
        l->SetCaption(QString::fromUtf8(caption));
        l->SetURL(QString::fromUtf8(url));
        l->move(16, y);
        return l;
    };
    HyperLink1 = link(88, "http://www.vantro.example.com", "http://www.vantro.example.com/");
    HyperLink3 = link(108, "http://soft.vantro.example.net", "http://soft.vantro.example.net/");
    HyperLink2 = link(130, "QQ:10000000  电话:400-000-0000", "mailto:support@vantro.example.com");
    OKButton = new QPushButton(QString::fromUtf8("确 定"), this);
    QFont okFont;
    okFont.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC")});
    okFont.setPixelSize(12);
    OKButton->setFont(okFont);
    OKButton->setGeometry(119, 156, 50, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace shell
