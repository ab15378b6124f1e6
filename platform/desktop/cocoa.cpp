#include "cocoa.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QScreen>
#include <QSet>

#include <cmath>

#include "platform/desktop/poof.h"
#include "platform/systemlibrary.h"

namespace platform::desktop {

namespace {

const QString kLibrary = QStringLiteral("Cocoa.framework");

// An object of the stand-in runtime: its class, and whether init has run.
struct Object {
    const void* isa;
    bool initialised = false;
};

const char kAutoreleasePoolClass = 0; // its address is the class
int pools = 0;

const void* selectorFor(const QString& name) {
    static QSet<QByteArray> interned;
    return interned.insert(name.toUtf8())->constData();
}

bool applicationLoad() {
    return true;
}

void showAnimationEffect(int, NSPoint centre, NSSize size, void*, void*, void*) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int height = screen ? screen->geometry().height() : 0;
    // Back from the bottom-up coordinates of the call to the top-down ones of the windows.
    showPoof(QPoint(int(std::lround(centre.x)), height - int(std::lround(centre.y))),
             QSize(int(size.width), int(size.height)));
}

void* classFromString(void* string) {
    const auto* s = static_cast<const CFString*>(string);
    if (s && s->text == QLatin1String("NSAutoreleasePool"))
        return const_cast<char*>(&kAutoreleasePoolClass);
    return nullptr;
}

void* selectorFromString(void* string) {
    const auto* s = static_cast<const CFString*>(string);
    return s ? const_cast<void*>(selectorFor(s->text)) : nullptr;
}

// Messages to nil, and messages an object does not understand, do nothing and yield nil.
void* msgSend(void* receiver, void* selector) {
    if (!receiver || !selector)
        return nullptr;
    if (receiver == &kAutoreleasePoolClass) {
        if (selector != selectorFor(QStringLiteral("alloc")))
            return nullptr;
        ++pools;
        return new Object{&kAutoreleasePoolClass};
    }
    auto* object = static_cast<Object*>(receiver);
    if (selector == selectorFor(QStringLiteral("init"))) {
        object->initialised = true;
        return object;
    }
    if (selector == selectorFor(QStringLiteral("release"))) {
        --pools;
        delete object;
    }
    return nullptr;
}

template <class F> void add(const char* name, F function) {
    registerSystemFunction(kLibrary, QString::fromLatin1(name),
                           reinterpret_cast<AnyFunction>(function));
}

} // namespace

void installCocoa() {
    add("NSApplicationLoad", static_cast<NSApplicationLoadFn>(applicationLoad));
    add("NSShowAnimationEffect", static_cast<NSShowAnimationEffectFn>(showAnimationEffect));
    add("objc_msgSend", static_cast<objc_msgSendFn>(msgSend));
    add("NSClassFromString", static_cast<NSClassFromStringFn>(classFromString));
    add("NSSelectorFromString", static_cast<NSSelectorFromStringFn>(selectorFromString));
}

int livePools() {
    return pools;
}

} // namespace platform::desktop
