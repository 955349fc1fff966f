#pragma once

#include <QImage>
#include <QRgb>
#include <QString>
#include <QtGlobal>

// Colour arithmetic for tests that look at pictures.

// `top` laid over the opaque `ground`, as the painter blends it.
inline QRgb over(QRgb top, QRgb ground)
{
    const int a = qAlpha(top);
    const auto mix = [a](int t, int g) { return (t * a + g * (255 - a) + 127) / 255; };
    return qRgb(mix(qRed(top), qRed(ground)), mix(qGreen(top), qGreen(ground)),
                mix(qBlue(top), qBlue(ground)));
}

// Whether the colours match within `tolerance` per channel, alpha left aside.
inline bool near(QRgb a, QRgb b, int tolerance)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance &&
           qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

// The same with alpha compared too.
inline bool nearWithAlpha(QRgb a, QRgb b, int tolerance)
{
    return near(a, b, tolerance) && qAbs(qAlpha(a) - qAlpha(b)) <= tolerance;
}

inline QString describe(QRgb colour)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(qRed(colour))
        .arg(qGreen(colour))
        .arg(qBlue(colour))
        .arg(qAlpha(colour));
}

// Empty when every channel of every pixel of `actual` is within `tolerance` of
// `expected`, otherwise how many pixels are further off and the first of them.
// Anti-aliased drawing rounds differently on another CPU, by a step or two,
// while a moved shape or a changed colour is off by far more. Compared
// premultiplied, as shown: a nearly transparent pixel would otherwise turn a
// rounding step into a large colour difference.
inline QString pictureDifference(const QImage &actual, const QImage &expected, int tolerance)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width())
            .arg(actual.height())
            .arg(expected.width())
            .arg(expected.height());
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int off = 0;
    QString first;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (nearWithAlpha(a.pixel(x, y), e.pixel(x, y), tolerance))
                continue;
            if (off++ == 0)
                first = QStringLiteral("(%1,%2) %3, expected %4")
                            .arg(x)
                            .arg(y)
                            .arg(describe(a.pixel(x, y)), describe(e.pixel(x, y)));
        }
    }
    if (off == 0)
        return QString();
    return QStringLiteral("%1 pixels off by more than %2, first %3 (premultiplied)")
        .arg(off)
        .arg(tolerance)
        .arg(first);
}
