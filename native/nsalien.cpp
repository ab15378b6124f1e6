#include "nsalien.h"

#include "platform/desktop/cocoa.h"
#include "platform/desktopservices.h"
#include "platform/systemlibrary.h"

using namespace platform;
using namespace platform::desktop;

namespace NSAlien {

namespace {

constexpr int kPoofEffect = 10;

bool started = false;
void* pool = nullptr;

template <class F> F cocoa(const char* name) {
    return systemFunction<F>(QStringLiteral("Cocoa.framework"), QString::fromLatin1(name));
}

// Hands our text to a desktop function as a string object, released right after the call.
template <class F> void* withString(F function, const char* text) {
    CFString* string = CFStringCreate(QString::fromLatin1(text));
    void* result = function(string);
    CFRelease(string);
    return result;
}

} // namespace

void ShowPoof(int x, int y, int width, int height) {
    ShowEffect(kPoofEffect, x, y, width, height);
}

void ShowEffect(int effect, int x, int y, int width, int height) {
    if (!started) {
        started = true;
        cocoa<NSApplicationLoadFn>("NSApplicationLoad")();
    }
    ReleaseNSAutoreleasePool(pool);
    pool = NewAutoreleasePool();
    const auto showAnimationEffect = cocoa<NSShowAnimationEffectFn>("NSShowAnimationEffect");
    const int screenHeight = platform::Screen(0).Height;
    const NSPoint centre{float(double(x)), float(double(screenHeight - y))};
    const NSSize size{float(double(width)), float(double(height))};
    showAnimationEffect(effect, centre, size, nullptr, nullptr, nullptr);
}

void* NewAutoreleasePool() {
    auto msgSend = cocoa<objc_msgSendFn>("objc_msgSend");
    void* poolClass =
        withString(cocoa<NSClassFromStringFn>("NSClassFromString"), "NSAutoreleasePool");
    void* alloc = withString(cocoa<NSSelectorFromStringFn>("NSSelectorFromString"), "alloc");
    void* object = msgSend(poolClass, alloc);
    msgSend = cocoa<objc_msgSendFn>("objc_msgSend");
    void* init = withString(cocoa<NSSelectorFromStringFn>("NSSelectorFromString"), "init");
    return msgSend(object, init);
}

void ReleaseNSAutoreleasePool(void* p) {
    if (!p)
        return;
    const auto msgSend = cocoa<objc_msgSendFn>("objc_msgSend");
    void* release = withString(cocoa<NSSelectorFromStringFn>("NSSelectorFromString"), "release");
    msgSend(p, release);
}

} // namespace NSAlien
