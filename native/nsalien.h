#pragma once

// The desktop's vanish animation (a puff of smoke), reached through the desktop's own
// functions by name, with one autorelease pool kept alive around the latest animation.
// Coordinates are the windows' own: pixels from the main screen's top left, y downward.
namespace NSAlien {

void ShowPoof(int x, int y, int width, int height);
void ShowEffect(int effect, int x, int y, int width, int height);
void* NewAutoreleasePool();
void ReleaseNSAutoreleasePool(void* p);

} // namespace NSAlien
