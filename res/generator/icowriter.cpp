#include "icowriter.h"

#include <QDataStream>
#include <QImage>

namespace ico {
namespace {

constexpr quint32 bitmapInfoHeaderSize = 40;
constexpr quint32 directoryHeaderSize = 6;
constexpr quint32 directoryEntrySize = 16;

// Bitmap rows are padded to whole 32-bit words.
quint32 rowBytes(int width, int bitsPerPixel)
{
    return ((quint32(width) * bitsPerPixel + 31) / 32) * 4;
}

quint32 entryBytes(int edge)
{
    return bitmapInfoHeaderSize + (rowBytes(edge, 24) + rowBytes(edge, 1)) * quint32(edge);
}

bool usable(const QImage &image)
{
    return !image.isNull() && image.width() == image.height() && image.width() <= 256;
}

// In the directory a size of 256 is written as 0.
quint8 directorySize(int edge)
{
    return quint8(edge == 256 ? 0 : edge);
}

void writeDirectoryEntry(QDataStream &out, int edge, quint32 offset)
{
    out << directorySize(edge) << directorySize(edge)
        << quint8(0)  // colours in palette: none
        << quint8(0)  // reserved
        << quint16(1) // planes
        << quint16(24) << entryBytes(edge) << offset;
}

void writeBitmapInfoHeader(QDataStream &out, int edge)
{
    // The height counts the colour bitmap and the AND mask together.
    out << bitmapInfoHeaderSize << qint32(edge) << qint32(edge * 2)
        << quint16(1) << quint16(24)
        << quint32(0) // BI_RGB: uncompressed
        << quint32((rowBytes(edge, 24) + rowBytes(edge, 1)) * quint32(edge))
        << qint32(0) << qint32(0) // resolution: unspecified
        << quint32(0) << quint32(0); // no palette
}

void writeColourRows(QDataStream &out, const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    const int padding = int(rowBytes(rgb.width(), 24)) - rgb.width() * 3;
    // Bottom-up, blue-green-red, as a DIB stores them.
    for (int y = rgb.height() - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            out << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]));
        for (int i = 0; i < padding; ++i)
            out << quint8(0);
    }
}

void writeClearMask(QDataStream &out, int edge)
{
    const quint32 bytes = rowBytes(edge, 1) * quint32(edge);
    for (quint32 i = 0; i < bytes; ++i)
        out << quint8(0);
}

} // namespace

QByteArray fromOpaqueImages(const QList<QImage> &images)
{
    if (images.isEmpty() || images.size() > 0xffff)
        return {};
    for (const QImage &image : images) {
        if (!usable(image))
            return {};
    }

    QByteArray file;
    QDataStream out(&file, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size()); // reserved, type icon, count

    quint32 offset = directoryHeaderSize + directoryEntrySize * quint32(images.size());
    for (const QImage &image : images) {
        writeDirectoryEntry(out, image.width(), offset);
        offset += entryBytes(image.width());
    }
    for (const QImage &image : images) {
        writeBitmapInfoHeader(out, image.width());
        writeColourRows(out, image);
        writeClearMask(out, image.width());
    }
    return file;
}

} // namespace ico
