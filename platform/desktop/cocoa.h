#pragma once

// What stands in on this desktop for the system functions the vanish animation reaches by
// name in "Cocoa.framework": the animation itself, and a small object runtime that knows one
// class, the autorelease pool.
namespace platform::desktop {

struct NSPoint {
    float x;
    float y;
};
struct NSSize {
    float width;
    float height;
};

using NSApplicationLoadFn = bool (*)();
using NSShowAnimationEffectFn = void (*)(int effect, NSPoint centre, NSSize size, void* delegate,
                                         void* selector, void* context);
using objc_msgSendFn = void* (*)(void* receiver, void* selector);
using NSClassFromStringFn = void* (*)(void* string);
using NSSelectorFromStringFn = void* (*)(void* string);

// Registers the stand-ins under their names in "Cocoa.framework".
void installCocoa();

// How many autorelease pools are alive now.
int livePools();

} // namespace platform::desktop
