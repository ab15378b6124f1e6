#pragma once

// The desktop's vanish animation.
namespace NSAlien {
void ShowPoof(int x, int y, int width, int height);
}
