#pragma once

class QImage;
class QColor;

namespace artwork {

// The emblem's drawing grid; every other size is this drawing scaled.
inline constexpr int emblemGrid = 96;

// The application's emblem, edge x edge pixels with alpha: a processor chip
// inside a ring gauge on a rounded square whose corners stay transparent.
[[nodiscard]] QImage emblem(int edge);

// The emblem laid on an opaque background, as an icon that must not rely on
// transparency.
[[nodiscard]] QImage opaqueEmblem(int edge, const QColor &background);

// Four coloured spheres, 104 x 83 pixels with alpha.
[[nodiscard]] QImage logo();

} // namespace artwork
