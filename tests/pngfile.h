#pragma once

#include <QByteArray>
#include <QVector>
#include <QtEndian>

// Reads a PNG's chunks straight from its bytes, to see how it is stored
// rather than what a decoder makes of it.
struct PngChunk
{
    QByteArray type;
    QByteArray data;
};

inline bool hasPngSignature(const QByteArray &bytes)
{
    return bytes.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8));
}

// Empty when the bytes are not a complete PNG.
inline QVector<PngChunk> pngChunks(const QByteArray &bytes)
{
    QVector<PngChunk> chunks;
    if (!hasPngSignature(bytes))
        return chunks;
    int pos = 8;
    while (pos + 12 <= bytes.size()) {
        const quint32 length = qFromBigEndian<quint32>(bytes.constData() + pos);
        if (length > quint32(bytes.size() - pos - 12))
            return QVector<PngChunk>();
        chunks.append({bytes.mid(pos + 4, 4), bytes.mid(pos + 8, int(length))});
        pos += 12 + int(length);
        if (chunks.last().type == "IEND")
            return pos == bytes.size() ? chunks : QVector<PngChunk>();
    }
    return QVector<PngChunk>();
}

inline QByteArray pngChunk(const QVector<PngChunk> &chunks, const char *type)
{
    for (const PngChunk &chunk : chunks) {
        if (chunk.type == type)
            return chunk.data;
    }
    return QByteArray();
}

struct PngHeader
{
    int width = 0;
    int height = 0;
    int bitDepth = 0;
    int colourType = -1;
};

inline PngHeader pngHeader(const QByteArray &bytes)
{
    PngHeader header;
    const QVector<PngChunk> chunks = pngChunks(bytes);
    if (chunks.isEmpty() || chunks.first().type != "IHDR" || chunks.first().data.size() != 13)
        return header;
    const QByteArray &data = chunks.first().data;
    header.width = int(qFromBigEndian<quint32>(data.constData()));
    header.height = int(qFromBigEndian<quint32>(data.constData() + 4));
    header.bitDepth = quint8(data.at(8));
    header.colourType = quint8(data.at(9));
    return header;
}
