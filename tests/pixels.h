#pragma once

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
