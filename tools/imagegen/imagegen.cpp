// Draws every image quillFern embeds and writes them into the folder given on
// the command line (normally resources/). The output is committed, so the
// build never runs this; run it again only to change an image.
//
//   quillFernImagegen <output folder>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QCoreApplication>
#include <QImage>
#include <QLineF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVector>
#include <QtEndian>

#include <cmath>
#include <cstdio>

namespace {

// ---- PNG and ICO writing -------------------------------------------------

quint32 crc32(const QByteArray &bytes)
{
    static quint32 table[256];
    static bool ready = false;
    if (!ready) {
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    quint32 c = 0xffffffffu;
    for (const char byte : bytes)
        c = table[(c ^ quint8(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void appendBigEndian32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void appendLittleEndian16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void appendLittleEndian32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void appendChunk(QByteArray &png, const char *type, const QByteArray &data)
{
    appendBigEndian32(png, quint32(data.size()));
    const QByteArray body = QByteArray(type, 4) + data;
    png.append(body);
    appendBigEndian32(png, crc32(body));
}

// Qt's own writer always stores palette images with 8 bits a pixel, so
// palette PNGs are assembled here: 4 bits when the colours fit in 16.
QByteArray palettePng(const QImage &image)
{
    Q_ASSERT(image.format() == QImage::Format_Indexed8);
    const QVector<QRgb> colours = image.colorTable();
    const int depth = colours.size() <= 16 ? 4 : 8;

    QByteArray png("\x89PNG\r\n\x1a\n", 8);

    QByteArray header;
    appendBigEndian32(header, quint32(image.width()));
    appendBigEndian32(header, quint32(image.height()));
    header.append(char(depth)).append(char(3)).append(char(0)).append(char(0)).append(char(0));
    appendChunk(png, "IHDR", header);

    QByteArray palette;
    QByteArray alphas;
    int lastTranslucent = -1;
    for (int i = 0; i < colours.size(); ++i) {
        palette.append(char(qRed(colours[i])))
            .append(char(qGreen(colours[i])))
            .append(char(qBlue(colours[i])));
        alphas.append(char(qAlpha(colours[i])));
        if (qAlpha(colours[i]) != 255)
            lastTranslucent = i;
    }
    appendChunk(png, "PLTE", palette);
    if (lastTranslucent >= 0)
        appendChunk(png, "tRNS", alphas.left(lastTranslucent + 1));

    QByteArray raw;
    for (int y = 0; y < image.height(); ++y) {
        raw.append(char(0));
        const uchar *line = image.constScanLine(y);
        if (depth == 8) {
            raw.append(reinterpret_cast<const char *>(line), image.width());
            continue;
        }
        for (int x = 0; x < image.width(); x += 2) {
            const int high = line[x];
            const int low = x + 1 < image.width() ? line[x + 1] : 0;
            raw.append(char((high << 4) | low));
        }
    }
    // qCompress puts the length in front of a plain zlib stream.
    appendChunk(png, "IDAT", qCompress(raw, 9).mid(4));
    appendChunk(png, "IEND", QByteArray());
    return png;
}

// Every distinct colour becomes one palette entry, in the order met.
QImage toIndexed(const QImage &argb)
{
    QVector<QRgb> colours;
    QVector<int> indices;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            QRgb colour = argb.pixel(x, y);
            if (qAlpha(colour) == 0)
                colour = qRgba(0, 0, 0, 0);
            int index = colours.indexOf(colour);
            if (index < 0) {
                index = colours.size();
                colours.append(colour);
            }
            indices.append(index);
        }
    }
    QImage indexed(argb.size(), QImage::Format_Indexed8);
    indexed.setColorTable(colours);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            indexed.setPixel(x, y, uint(indices.at(y * argb.width() + x)));
    return indexed;
}

QByteArray qtPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// One 256 x 256 image, kept as PNG inside the icon file.
QByteArray icoWithPng(const QByteArray &png)
{
    QByteArray ico;
    appendLittleEndian16(ico, 0);        // reserved
    appendLittleEndian16(ico, 1);        // icon
    appendLittleEndian16(ico, 1);        // one image
    ico.append(char(0)).append(char(0)); // 0 means 256 wide and high
    ico.append(char(0)).append(char(0)); // no palette, reserved
    appendLittleEndian16(ico, 1);        // planes
    appendLittleEndian16(ico, 32);       // bits a pixel
    appendLittleEndian32(ico, quint32(png.size()));
    appendLittleEndian32(ico, quint32(ico.size() + 4));
    ico.append(png);
    return ico;
}

// ---- the pictures --------------------------------------------------------
//
// Each picture is drawn for a scale: 1 for ordinary screens, 2 for the "@2x"
// variant Qt picks on screens scaled to 150 % and more. Coordinates below are
// in pixels at scale 1; at scale 2 every such pixel covers 2 x 2, while edges,
// stripes and gradients are drawn at the finer resolution.

// Fills the block of the scale-1 pixel (x, y) at `scale`.
void setBlock(QImage &image, int scale, int x, int y, QRgb colour)
{
    for (int dy = 0; dy < scale; ++dy)
        for (int dx = 0; dx < scale; ++dx)
            image.setPixel(x * scale + dx, y * scale + dy, colour);
}

QImage progressImage(int scale)
{
    const int width = 283;
    const int height = 8;
    const QRgb light = qRgb(147, 220, 255);
    const QRgb dark = qRgb(137, 204, 237);
    QImage image(width * scale, height * scale, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            // x + y: each row is the one above moved one pixel left, so the stripes lean right.
            const QRgb stripe = (x + y) % (10 * scale) < 5 * scale ? light : dark;
            image.setPixel(x, y, qRgba(qRed(stripe), qGreen(stripe), qBlue(stripe), 204));
        }
    }
    const auto setAlpha = [&image, scale](int x, int y, int alpha) {
        for (int dy = 0; dy < scale; ++dy) {
            for (int dx = 0; dx < scale; ++dx) {
                const QPoint at(x * scale + dx, y * scale + dy);
                const QRgb colour = image.pixel(at);
                image.setPixel(at, qRgba(qRed(colour), qGreen(colour), qBlue(colour), alpha));
            }
        }
    };
    const int right = width - 1;
    const int bottom = height - 1;
    for (const int x : {0, right}) {
        const int inward = x == 0 ? 1 : -1;
        for (const int y : {0, bottom}) {
            const int towardsMiddle = y == 0 ? 1 : -1;
            setAlpha(x, y, 2);
            setAlpha(x + inward, y, 2);
            setAlpha(x, y + towardsMiddle, 2);
        }
        setAlpha(x + 2 * inward, bottom, 193);
        setAlpha(x, bottom - 2, 193);
        setAlpha(x + inward, bottom - 1, 172);
    }
    return image;
}

struct BlueButton
{
    QRgb border;
    bool highlight;
    QRgb highlightColour;
    QRgb gradientTop;
    QRgb gradientBottom;
    int shadowAlpha;
};

QImage buttonImage(const BlueButton &look, int scale)
{
    const int width = 88;
    const int height = 35;
    const int frameBottom = height - 2;
    QImage image(width * scale, height * scale, QImage::Format_ARGB32);
    image.fill(qRgba(0, 0, 0, 0));
    const auto set = [&image, scale](int x, int y, QRgb colour) { setBlock(image, scale, x, y, colour); };
    const QRgb corner = qRgba(qRed(look.border), qGreen(look.border), qBlue(look.border), 150);
    for (int x = 0; x < width; ++x) {
        set(x, 0, look.border);
        set(x, frameBottom, look.border);
    }
    for (int y = 0; y <= frameBottom; ++y) {
        set(0, y, look.border);
        set(width - 1, y, look.border);
    }
    for (const int x : {0, width - 1})
        for (const int y : {0, frameBottom})
            set(x, y, corner);

    int firstGradientRow = 1;
    if (look.highlight) {
        for (int x = 1; x < width - 1; ++x)
            set(x, 1, look.highlightColour);
        firstGradientRow = 2;
    }
    const int lastGradientRow = frameBottom - 1;
    // The gradient runs over the rows of the image as drawn, so it is finer at scale 2.
    const int first = firstGradientRow * scale;
    const int last = (lastGradientRow + 1) * scale - 1;
    for (int y = first; y <= last; ++y) {
        const double t = double(y - first) / (last - first);
        const auto mix = [t](int from, int to) { return int(std::lround(from + (to - from) * t)); };
        const QRgb colour = qRgb(mix(qRed(look.gradientTop), qRed(look.gradientBottom)),
                                 mix(qGreen(look.gradientTop), qGreen(look.gradientBottom)),
                                 mix(qBlue(look.gradientTop), qBlue(look.gradientBottom)));
        for (int x = scale; x < (width - 1) * scale; ++x)
            image.setPixel(x, y, colour);
    }
    if (look.shadowAlpha > 0) {
        for (int x = 1; x < width - 1; ++x)
            set(x, height - 1, qRgba(255, 255, 255, look.shadowAlpha));
    }
    return image;
}

const QRgb crossColour = qRgb(226, 240, 250);

// How much of each pixel the cross covers, found by sampling a 16 x 16 grid
// inside it: unlike the rasteriser this keeps the cross exactly symmetric.
// The coverage is kept apart from the colour so that even faint edge pixels
// carry the exact cross colour.
QImage crossCoverage(int scale)
{
    const QPointF centre(13.5, 11.5);
    const qreal arm = 4.5;
    const qreal halfWidth = 0.75;
    const QLineF strokes[] = {QLineF(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm)),
                              QLineF(centre + QPointF(arm, -arm), centre + QPointF(-arm, arm))};
    const auto inside = [&strokes, halfWidth](const QPointF &point) {
        for (const QLineF &stroke : strokes) {
            const QPointF along = stroke.p2() - stroke.p1();
            const QPointF offset = point - stroke.p1();
            const qreal length2 = QPointF::dotProduct(along, along);
            const qreal t = QPointF::dotProduct(offset, along) / length2;
            const qreal cross = along.x() * offset.y() - along.y() * offset.x();
            // Flat ends: only the stretch between the end points counts.
            if (t >= 0 && t <= 1 && cross * cross <= halfWidth * halfWidth * length2)
                return true;
        }
        return false;
    };
    const int grid = 16;
    QImage coverage(27 * scale, 23 * scale, QImage::Format_Alpha8);
    for (int y = 0; y < coverage.height(); ++y) {
        for (int x = 0; x < coverage.width(); ++x) {
            int hits = 0;
            for (int j = 0; j < grid; ++j)
                for (int i = 0; i < grid; ++i)
                    hits += inside(QPointF((x + (i + 0.5) / grid) / scale, (y + (j + 0.5) / grid) / scale))
                                ? 1
                                : 0;
            coverage.scanLine(y)[x] = uchar((hits * 255 + grid * grid / 2) / (grid * grid));
        }
    }
    return coverage;
}

QImage closeCross(int scale)
{
    const QImage coverage = crossCoverage(scale);
    QImage image(coverage.size(), QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = coverage.constScanLine(y)[x];
            image.setPixel(x, y,
                           alpha ? qRgba(qRed(crossColour), qGreen(crossColour), qBlue(crossColour), alpha)
                                 : qRgba(0, 0, 0, 0));
        }
    }
    return image;
}

QImage closeOn(QRgb ground, int scale)
{
    const QImage coverage = crossCoverage(scale);
    QImage image(coverage.size(), QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int a = coverage.constScanLine(y)[x];
            const auto mix = [a](int top, int under) { return (top * a + under * (255 - a) + 127) / 255; };
            image.setPixel(x, y,
                           qRgb(mix(qRed(crossColour), qRed(ground)),
                                mix(qGreen(crossColour), qGreen(ground)),
                                mix(qBlue(crossColour), qBlue(ground))));
        }
    }
    return image;
}

QPainterPath roundedRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// The pipe wrench, drawn lying along +x with its jaws opening towards +y.
QPainterPath wrenchOutline()
{
    QPainterPath handle = roundedRect(QRectF(-104, -13, 150, 26), 13);
    QPainterPath hole;
    hole.addEllipse(QPointF(-88, 0), 5.5, 5.5);
    handle = handle.subtracted(hole);

    QPainterPath frame = roundedRect(QRectF(30, -19, 30, 38), 6);

    // The heel jaw stands on the frame; its teeth face the hook.
    QPainterPath heel;
    heel.moveTo(44, 10);
    heel.lineTo(44, 50);
    for (int i = 0; i < 5; ++i) {
        const qreal y = 50 - i * 8;
        heel.lineTo(64, y);
        heel.lineTo(60, y - 4);
    }
    heel.lineTo(64, 10);
    heel.closeSubpath();

    QPainterPath shank = roundedRect(QRectF(50, -9, 58, 18), 4);

    // The hook runs back over the heel jaw with its teeth facing down.
    QPainterPath hook;
    hook.moveTo(94, -9);
    hook.lineTo(108, -9);
    hook.cubicTo(120, 6, 120, 40, 108, 58);
    hook.quadTo(100, 62, 92, 56);
    for (int i = 0; i < 5; ++i) {
        const qreal y = 52 - i * 8;
        hook.lineTo(76, y);
        hook.lineTo(80, y - 4);
    }
    hook.lineTo(80, 12);
    hook.lineTo(96, 9);
    hook.closeSubpath();

    return handle.united(frame).united(heel).united(shank).united(hook);
}

QImage applicationIcon()
{
    const int size = 256;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRectF square(10, 10, 236, 236);
    const qreal radius = 52;

    QPainterPath shadow = roundedRect(square.translated(0, 4), radius);
    painter.fillPath(shadow, QColor(20, 60, 110, 60));

    QLinearGradient body(square.topLeft(), square.bottomLeft());
    body.setColorAt(0.0, QColor(236, 247, 255));
    body.setColorAt(0.55, QColor(196, 226, 250));
    body.setColorAt(1.0, QColor(160, 205, 242));
    const QPainterPath face = roundedRect(square, radius);
    painter.fillPath(face, body);

    // The gloss: a bright cap over the upper half that fades downwards.
    QPainterPath gloss;
    gloss.moveTo(square.left(), square.top() + radius);
    gloss.arcTo(QRectF(square.left(), square.top(), 2 * radius, 2 * radius), 180, -90);
    gloss.lineTo(square.right() - radius, square.top());
    gloss.arcTo(QRectF(square.right() - 2 * radius, square.top(), 2 * radius, 2 * radius), 90, -90);
    gloss.lineTo(square.right(), square.top() + 104);
    gloss.quadTo(square.center().x(), square.top() + 140, square.left(), square.top() + 104);
    gloss.closeSubpath();
    QLinearGradient shine(0, square.top(), 0, square.top() + 130);
    shine.setColorAt(0.0, QColor(255, 255, 255, 235));
    shine.setColorAt(1.0, QColor(255, 255, 255, 40));
    painter.fillPath(gloss.intersected(face), shine);

    painter.setPen(QPen(QColor(118, 170, 222), 3));
    painter.drawPath(roundedRect(square.adjusted(1.5, 1.5, -1.5, -1.5), radius - 1.5));

    const QPainterPath wrench = wrenchOutline();
    painter.translate(size / 2.0, size / 2.0 + 2);
    painter.rotate(-45);
    painter.scale(0.84, 0.84);
    painter.translate(-wrench.boundingRect().center());

    painter.save();
    painter.translate(3, 5);
    painter.fillPath(wrench, QColor(10, 40, 90, 70));
    painter.restore();

    QLinearGradient metal(0, -20, 0, 56);
    metal.setColorAt(0.0, QColor(72, 150, 232));
    metal.setColorAt(0.5, QColor(28, 104, 206));
    metal.setColorAt(1.0, QColor(18, 72, 160));
    painter.fillPath(wrench, metal);
    painter.setPen(QPen(QColor(12, 52, 120), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(wrench);

    // A light edge along the handle reads as polished metal.
    painter.setPen(QPen(QColor(170, 214, 255, 200), 2.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(-74, -7), QPointF(26, -7));

    // The knurled adjusting nut on the shank.
    const QRectF nut(66, -17, 24, 34);
    QLinearGradient nutShade(0, nut.top(), 0, nut.bottom());
    nutShade.setColorAt(0.0, QColor(96, 170, 240));
    nutShade.setColorAt(1.0, QColor(22, 84, 178));
    painter.setPen(QPen(QColor(12, 52, 120), 2.5));
    painter.setBrush(nutShade);
    painter.drawRoundedRect(nut, 5, 5);
    painter.setPen(QPen(QColor(12, 52, 120), 2));
    for (qreal x = nut.left() + 5; x < nut.right() - 2; x += 5)
        painter.drawLine(QPointF(x, nut.top() + 3), QPointF(x, nut.bottom() - 3));
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: quillFernImagegen <output folder>\n");
        return 2;
    }
    const QDir out(arguments.at(1));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    const BlueButton normal{qRgb(26, 157, 231), true, qRgb(49, 176, 238), qRgb(32, 169, 237),
                            qRgb(28, 156, 235), 143};
    const BlueButton hover{qRgb(26, 157, 231), true, qRgb(74, 186, 240), qRgb(58, 179, 239),
                           qRgb(29, 156, 235), 143};
    const BlueButton press{qRgb(26, 156, 231), true, qRgb(37, 158, 220), qRgb(24, 153, 221),
                           qRgb(27, 155, 234), 143};
    const BlueButton unable{qRgb(184, 184, 184), false, 0, qRgb(190, 190, 190), qRgb(177, 177, 177), 0};

    const QByteArray icon = qtPng(applicationIcon());
    QList<QPair<QString, QByteArray>> files{
        {QStringLiteral("appicon.png"), icon},
        {QStringLiteral("quillFern.ico"), icoWithPng(icon)},
    };
    for (const int scale : {1, 2}) {
        const QString suffix = scale == 1 ? QStringLiteral(".png") : QStringLiteral("@2x.png");
        const auto add = [&files, &suffix](const char *name, const QByteArray &png) {
            files.append({QLatin1String(name) + suffix, png});
        };
        add("progress", palettePng(toIndexed(progressImage(scale))));
        add("btnCloseNormal", qtPng(closeCross(scale)));
        add("btnCloseHover", qtPng(closeOn(qRgb(255, 58, 58), scale)));
        add("btnClosePress", qtPng(closeOn(qRgb(215, 49, 49), scale)));
        add("btnBlueBigNormal", palettePng(toIndexed(buttonImage(normal, scale))));
        add("btnBlueBigHover", palettePng(toIndexed(buttonImage(hover, scale))));
        add("btnBlueBigPress", palettePng(toIndexed(buttonImage(press, scale))));
        add("btnBlueBigUnable", palettePng(toIndexed(buttonImage(unable, scale))));
    }
    for (const auto &file : files) {
        if (!writeBytes(out.filePath(file.first), file.second)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(file.first)));
            return 1;
        }
    }
    return 0;
}
