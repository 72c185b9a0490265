#pragma once

#include <QByteArray>
#include <QList>

class QImage;

namespace ico {

// An .ico file with the images in the given order, each stored as an
// uncompressed 24-bit bitmap without palette, followed by an AND mask that
// hides nothing: old Windows shells ignore alpha, so the icon is opaque.
// Images must be square, 1 to 256 pixels; otherwise the result is empty.
[[nodiscard]] QByteArray fromOpaqueImages(const QList<QImage> &images);

} // namespace ico
