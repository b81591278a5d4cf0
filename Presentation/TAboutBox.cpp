#include "TAboutBox.h"
#include "ui_TAboutBox.h"

#include "GetVersionInfo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QShowEvent>

namespace {

// The product icon: a harbour lock gate over water.
QPixmap DrawProductIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient sky(0, 0, 0, s);
    sky.setColorAt(0, QColor(0x2f, 0x6f, 0xb3));
    sky.setColorAt(1, QColor(0x12, 0x3a, 0x66));
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);
    // Lock body and shackle.
    p.setBrush(QColor(0xf2, 0xc1, 0x4e));
    p.drawRoundedRect(QRectF(s * 0.28, s * 0.40, s * 0.44, s * 0.32), s * 0.05, s * 0.05);
    QPen shackle(QColor(0xf2, 0xc1, 0x4e), s * 0.07);
    p.setPen(shackle);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(s * 0.34, s * 0.20, s * 0.32, s * 0.36), 0, 180 * 16);
    p.drawLine(QPointF(s * 0.34, s * 0.38), QPointF(s * 0.34, s * 0.42));
    p.drawLine(QPointF(s * 0.66, s * 0.38), QPointF(s * 0.66, s * 0.42));
    // Water.
    QPen wave(QColor(0xd8, 0xee, 0xff), s * 0.05);
    wave.setCapStyle(Qt::RoundCap);
    p.setPen(wave);
    QPainterPath path;
    path.moveTo(s * 0.12, s * 0.83);
    for (int i = 0; i < 4; ++i)
        path.quadTo(s * (0.21 + i * 0.19), s * (i % 2 ? 0.90 : 0.76), s * (0.31 + i * 0.19), s * 0.83);
    p.drawPath(path);
    return pixmap;
}

// The maker's logo: a word mark.
QPixmap DrawMakerLogo()
{
    QFont font;
    font.setPointSize(15);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    const QString text = "QUARNEX";
    const QFontMetrics metrics(font);
    const int w = metrics.horizontalAdvance(text) + 34;
    const int h = metrics.height() + 10;
    QPixmap pixmap(w, h);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xc0, 0x39, 0x2b));
    p.drawEllipse(QRectF(4, h / 2.0 - 9, 18, 18));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(9, h / 2.0 - 4, 8, 8));
    p.setPen(QColor(0x22, 0x22, 0x22));
    p.setFont(font);
    p.drawText(QRect(28, 0, w - 28, h), Qt::AlignVCenter | Qt::AlignLeft, text);
    return pixmap;
}

// The product picture: a phone-system server sending its backup to a PC.
QPixmap DrawProductPicture()
{
    const int w = 150, h = 56;
    QPixmap pixmap(w, h);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1.2));
    p.setBrush(QColor(0x5a, 0x6b, 0x7d));
    for (int i = 0; i < 3; ++i)
        p.drawRoundedRect(QRectF(6, 6 + i * 15, 40, 12), 2, 2);
    p.setBrush(QColor(0x6c, 0xe0, 0x6c));
    for (int i = 0; i < 3; ++i)
        p.drawEllipse(QRectF(38, 10 + i * 15, 4, 4));
    p.setPen(QPen(QColor(0x2f, 0x6f, 0xb3), 2.5, Qt::DashLine));
    p.drawLine(QPointF(52, 28), QPointF(92, 28));
    p.setPen(QPen(QColor(0x2f, 0x6f, 0xb3), 2.5));
    p.drawLine(QPointF(92, 28), QPointF(85, 22));
    p.drawLine(QPointF(92, 28), QPointF(85, 34));
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1.2));
    p.setBrush(QColor(0xe8, 0xf0, 0xf8));
    p.drawRoundedRect(QRectF(100, 8, 44, 30), 3, 3);
    p.setBrush(QColor(0x5a, 0x6b, 0x7d));
    p.drawRect(QRectF(116, 38, 12, 6));
    p.drawRect(QRectF(108, 44, 28, 4));
    return pixmap;
}

} // namespace

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner), ui(new Ui::TAboutBox)
{
    ui->setupUi(this);
    setWindowTitle("About Harborlock");
    ui->OKButton->setText("OK");
    ui->OKButton->setDefault(true);
    connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);

    ui->imgHarborlockIcon->setPixmap(DrawProductIcon(64));
    ui->imgLogoImage->setPixmap(DrawMakerLogo());
    ui->imgLogoImage->adjustSize();
    ui->imgProduct->setPixmap(DrawProductPicture());
    ui->imgProduct->adjustSize();
    QFont bold = ui->lbProductName->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.4);
    ui->lbProductName->setFont(bold);

    std::string productName, fileVersion, comments;
    GetVersionInfo(productName, fileVersion, comments);
    ui->lbProductName->setText(QString::fromStdString(productName));
    ui->lbVersion->setText(QString::fromStdString(VersionText(fileVersion, comments)));
}

TAboutBox::~TAboutBox()
{
    delete ui;
}

std::string TAboutBox::VersionText(const std::string& fileVersion, const std::string& comments)
{
    if (fileVersion.empty())
        return std::string();
    std::string text = "Software Version: " + fileVersion;
    if (!comments.empty())
        text += " - " + comments;
    return text;
}

void TAboutBox::showEvent(QShowEvent* e)
{
    // The panels frame their pictures with a 4-pixel border.
    ui->pnLogo->setFixedSize(ui->imgLogoImage->width() + 9, ui->imgLogoImage->height() + 9);
    ui->pnProduct->setFixedSize(ui->imgProduct->width() + 9, ui->imgProduct->height() + 9);
    ui->imgLogoImage->move(4, 4);
    ui->imgProduct->move(4, 4);
    if (parentWidget()) {
        // Centred on the owner.
        const QRect owner = parentWidget()->frameGeometry();
        move(owner.center() - rect().center());
    }
    QDialog::showEvent(e);
}
