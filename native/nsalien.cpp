#include "nsalien.h"

namespace NSAlien {
void ShowPoof(int, int, int, int) {}
} // namespace NSAlien
