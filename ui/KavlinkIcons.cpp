#include "KavlinkIcons.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources live in a static library, so nothing would pull them into the program unless
// they are registered by hand. Registering twice is harmless.
static void RegisterKavlinkResources() {
    Q_INIT_RESOURCE(kavlink);
}

namespace {
QPixmap Render(QSvgRenderer& renderer, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return QPixmap::fromImage(image);
}

QString ArtworkPath(int id) {
    static const bool registered = (RegisterKavlinkResources(), true);
    Q_UNUSED(registered);
    const QString path = QStringLiteral(":/icons/%1.svg").arg(id);
    return QFile::exists(path) ? path : QString();
}
} // namespace

QIcon LoadKavlinkIcon(int id) {
    const QString path = ArtworkPath(id);
    if (path.isEmpty()) {
        return {};
    }
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) {
        return {};
    }
    QIcon icon;
    for (int size : {16, 32}) {
        icon.addPixmap(Render(renderer, size));
    }
    return icon;
}

bool PaintKavlinkIcon(QPainter& painter, const QRectF& target, int id) {
    const QString path = ArtworkPath(id);
    if (path.isEmpty()) {
        return false;
    }
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) {
        return false;
    }
    renderer.render(&painter, target);
    return true;
}
