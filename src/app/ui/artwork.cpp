#include "app/ui/artwork.hpp"

#include <QBuffer>
#include <QIcon>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace app::ui {

QFont pageFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("PingFang SC"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

namespace {

// Illustrations are drawn at 520 x 240 and scaled.
constexpr int kArtWidth = 520;
constexpr int kArtHeight = 240;

void drawWelcome(QPainter& p) {
    // A server rack with three lit units, and signal arcs.
    p.setBrush(QColor(0x3b, 0x82, 0xf6));
    p.drawRoundedRect(QRectF(200, 50, 120, 150), 14, 14);
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor(255, 255, 255, 220));
        p.drawRoundedRect(QRectF(214, 64 + i * 44, 92, 32), 8, 8);
        p.setBrush(QColor(0x22, 0xc5, 0x5e));
        p.drawEllipse(QPointF(290, 80 + i * 44), 6, 6);
    }
    QPen arc(QColor(0x60, 0xa5, 0xfa), 6, Qt::SolidLine, Qt::RoundCap);
    p.setPen(arc);
    p.setBrush(Qt::NoBrush);
    for (int r = 30; r <= 70; r += 20) {
        p.drawArc(QRectF(340 - r, 120 - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
        p.drawArc(QRectF(180 - r, 120 - r, 2 * r, 2 * r), 135 * 16, 90 * 16);
    }
}

void drawPermissions(QPainter& p) {
    // A shield with a keyhole.
    QPainterPath shield;
    shield.moveTo(260, 40);
    shield.cubicTo(300, 60, 330, 60, 350, 60);
    shield.cubicTo(350, 140, 320, 180, 260, 210);
    shield.cubicTo(200, 180, 170, 140, 170, 60);
    shield.cubicTo(190, 60, 220, 60, 260, 40);
    p.setBrush(QColor(0x10, 0xb9, 0x81));
    p.drawPath(shield);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawEllipse(QPointF(260, 110), 18, 18);
    p.drawRoundedRect(QRectF(252, 118, 16, 44), 6, 6);
}

void drawDone(QPainter& p) {
    // A large check mark in a ring.
    p.setBrush(QColor(0xf5, 0x9e, 0x0b));
    p.drawEllipse(QPointF(260, 125), 80, 80);
    QPen tick(Qt::white, 18, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(tick);
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    path.moveTo(222, 128);
    path.lineTo(250, 156);
    path.lineTo(302, 98);
    p.drawPath(path);
}

}  // namespace

QPixmap illustration(const QString& name, int width) {
    void (*draw)(QPainter&) = nullptr;
    if (name == QStringLiteral("图一")) draw = drawWelcome;
    else if (name == QStringLiteral("图二")) draw = drawPermissions;
    else if (name == QStringLiteral("图三")) draw = drawDone;
    if (!draw || width <= 0) return {};
    QPixmap pixmap(width, width * kArtHeight / kArtWidth);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(double(width) / kArtWidth, double(width) / kArtWidth);
    QLinearGradient sky(0, 0, 0, kArtHeight);
    sky.setColorAt(0, QColor(0xee, 0xf2, 0xff));
    sky.setColorAt(1, QColor(0xfd, 0xf4, 0xff));
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(24, 8, kArtWidth - 48, kArtHeight - 16), 24, 24);
    draw(p);
    return pixmap;
}

QPixmap symbol(const QString& name, int size, const QColor& colour) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    QPen pen(colour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (name == QStringLiteral("calendar")) {
        p.drawRoundedRect(QRectF(3, 5, 18, 16), 3, 3);
        p.drawLine(QPointF(3, 10), QPointF(21, 10));
        p.drawLine(QPointF(8, 3), QPointF(8, 7));
        p.drawLine(QPointF(16, 3), QPointF(16, 7));
    } else if (name == QStringLiteral("checklist")) {
        for (int i = 0; i < 3; ++i) {
            double y = 6 + i * 6;
            p.drawPolyline(QPolygonF({QPointF(3, y), QPointF(5, y + 2), QPointF(8, y - 2)}));
            p.drawLine(QPointF(11, y), QPointF(21, y));
        }
    } else if (name == QStringLiteral("person.circle")) {
        p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
        p.drawEllipse(QPointF(12, 10), 3.5, 3.5);
        p.drawArc(QRectF(6.5, 14, 11, 9), 20 * 16, 140 * 16);
    } else if (name == QStringLiteral("message")) {
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(3, 4, 18, 13), 5, 5);
        p.drawPath(bubble);
        p.drawPolyline(QPolygonF({QPointF(8, 17), QPointF(6, 21), QPointF(12, 17)}));
    } else if (name == QStringLiteral("envelope")) {
        p.drawRoundedRect(QRectF(3, 6, 18, 13), 2, 2);
        p.drawPolyline(QPolygonF({QPointF(3, 7), QPointF(12, 14), QPointF(21, 7)}));
    } else if (name == QStringLiteral("music.note")) {
        p.setBrush(colour);
        p.drawEllipse(QPointF(8, 18), 3, 2.5);
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(11, 18), QPointF(11, 4));
        p.drawLine(QPointF(11, 4), QPointF(18, 7));
    } else if (name == QStringLiteral("checkmark")) {
        p.drawPolyline(QPolygonF({QPointF(4, 12), QPointF(10, 18), QPointF(20, 6)}));
    } else if (name == QStringLiteral("server.rack")) {
        for (int i = 0; i < 3; ++i) {
            p.drawRoundedRect(QRectF(3, 3 + i * 6.5, 18, 5), 1.5, 1.5);
            p.drawPoint(QPointF(17, 5.5 + i * 6.5));
        }
    } else {
        p.drawEllipse(QPointF(12, 12), 9, 9);
    }
    return pixmap;
}

QPixmap applicationIconPixmap(const ApplicationIcon& icon, int size, qreal pixelRatio) {
    const int pixels = qRound(size * pixelRatio);
    QPixmap pixmap;
    if (icon.file) {
        QByteArray bytes = QByteArray::fromStdString(*icon.file);
        QBuffer buffer(&bytes);
        QImageReader reader(&buffer);
        reader.setAllocationLimit(64);  // megabytes: a small file may still claim a huge picture
        const QImage image = reader.read();
        if (image.isNull()) return {};
        pixmap = QPixmap::fromImage(image.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        pixmap.setDevicePixelRatio(pixelRatio);
    } else {
        const QIcon themed = QIcon::fromTheme(QString::fromStdString(icon.themeName));
        if (themed.isNull()) return {};
        pixmap = themed.pixmap(QSize(size, size), pixelRatio);
    }
    return pixmap;
}

void useIconThemeFolders(const std::vector<std::string>& folders) {
    QStringList paths = QIcon::themeSearchPaths();
    const qsizetype known = paths.size();
    for (const std::string& folder : folders)
        if (!paths.contains(QString::fromStdString(folder))) paths.append(QString::fromStdString(folder));
    if (paths.size() != known) QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty()) QIcon::setThemeName(QStringLiteral("hicolor"));
}

}  // namespace app::ui
