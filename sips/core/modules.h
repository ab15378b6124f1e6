#pragma once

namespace sips {

// libvips loads every optional module (ImageMagick, poppler, HEIF, JPEG XL, OpenSlide) when
// it starts, which costs more than converting a small picture, and most files need none of
// them. Called before VIPS_INIT, this keeps libvips from finding them; the formats built
// into libvips itself still work.
void deferOptionalModules();

// Loads the deferred modules, once. False when there was nothing (more) to load, so that a
// caller knows a second attempt would fail the same way.
bool loadOptionalModules();

} // namespace sips
