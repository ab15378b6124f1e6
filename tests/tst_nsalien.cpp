#include <QApplication>
#include <QTest>

#include "native/nsalien.h"
#include "platform/desktop/cocoa.h"
#include "platform/desktopservices.h"
#include "platform/exceptions.h"
#include "platform/systemlibrary.h"
#include "support.h"
#include "windows/doner.h"
#include "windows/qconvert.h"

using namespace platform;
using namespace platform::desktop;
using namespace testsupport;

namespace {

// Every call the animation makes into the desktop, in order, as text.
QStringList calls;
QHash<void*, QString> selectorNames;
struct Effect {
    int effect;
    NSPoint centre;
    NSSize size;
};
QList<Effect> effects;

const QString kCocoa = QStringLiteral("Cocoa.framework");
QHash<QString, AnyFunction> originals;

template <class F> F original(const char* name) {
    return reinterpret_cast<F>(originals.value(QString::fromLatin1(name)));
}

bool recordApplicationLoad() {
    calls.append(QStringLiteral("NSApplicationLoad"));
    return original<NSApplicationLoadFn>("NSApplicationLoad")();
}
void recordShowAnimationEffect(int effect, NSPoint centre, NSSize size, void* delegate, void* sel,
                               void* context) {
    calls.append(QStringLiteral("NSShowAnimationEffect"));
    effects.append({effect, centre, size});
    original<NSShowAnimationEffectFn>("NSShowAnimationEffect")(effect, centre, size, delegate, sel,
                                                               context);
}
void* recordClassFromString(void* s) {
    calls.append(QStringLiteral("NSClassFromString ") + static_cast<CFString*>(s)->text);
    return original<NSClassFromStringFn>("NSClassFromString")(s);
}
void* recordSelectorFromString(void* s) {
    void* selector = original<NSSelectorFromStringFn>("NSSelectorFromString")(s);
    selectorNames[selector] = static_cast<CFString*>(s)->text;
    return selector;
}
void* recordMsgSend(void* receiver, void* selector) {
    calls.append(QStringLiteral("send ") + selectorNames.value(selector));
    return original<objc_msgSendFn>("objc_msgSend")(receiver, selector);
}

template <class F> void replace(const char* name, F recorder) {
    originals[QString::fromLatin1(name)] = registerSystemFunction(
        kCocoa, QString::fromLatin1(name), reinterpret_cast<AnyFunction>(recorder));
}

// Where any drop leaves the desktop: started up, with the pool of its puff alive. The
// record of calls starts again empty after it.
void afterAPuff() {
    NSAlien::ShowPoof(0, 0, 1, 1);
    QCOMPARE(livePools(), 1);
    calls.clear();
    effects.clear();
}

QWidget* poofWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("poof") && w->isVisible())
            return w;
    }
    return nullptr;
}

} // namespace

class TestNSAlien : public QObject {
    Q_OBJECT

private slots:
    // Nothing in this process has played the animation yet, so start-up is still to come.
    void initTestCase() {
        quietPlatformNoise();
        replace("NSApplicationLoad", static_cast<NSApplicationLoadFn>(recordApplicationLoad));
        replace("NSShowAnimationEffect",
                static_cast<NSShowAnimationEffectFn>(recordShowAnimationEffect));
        replace("NSClassFromString", static_cast<NSClassFromStringFn>(recordClassFromString));
        replace("NSSelectorFromString",
                static_cast<NSSelectorFromStringFn>(recordSelectorFromString));
        replace("objc_msgSend", static_cast<objc_msgSendFn>(recordMsgSend));
    }
    void init() {
        calls.clear();
        effects.clear();
    }

    void aDropPlaysThePoofAndStartsUpOnce() {
        QTemporaryDir dir;
        qconvert& screen = qconvert::instance();
        QVERIFY(dropFiles(&screen, {writePng(dir.filePath(QStringLiteral("a.png")))}));
        QCOMPARE(calls, (QStringList{"NSApplicationLoad", "NSClassFromString NSAutoreleasePool",
                                     "send alloc", "send init", "NSShowAnimationEffect"}));
        const int height = Screen(0).Height;
        QCOMPARE(effects.size(), 1);
        QCOMPARE(effects[0].effect, 10);
        QCOMPARE(effects[0].centre.x, float(screen.Left() + 220));
        QCOMPARE(effects[0].centre.y, float(height - (screen.Top() + 220)));
        QCOMPARE(effects[0].size.width, 400.0f);
        QCOMPARE(effects[0].size.height, 400.0f);
        QCOMPARE(livePools(), 1);

        // The puff shows where it was asked to, lets clicks through, and goes by itself.
        QWidget* poof = poofWindow();
        QVERIFY(poof);
        QVERIFY(poof->windowFlags() & Qt::WindowTransparentForInput);
        const QPoint centre = poof->geometry().center();
        QVERIFY(qAbs(centre.x() - (screen.Left() + 220)) <= 1);
        QVERIFY(qAbs(centre.y() - (screen.Top() + 220)) <= 1);
        QTRY_VERIFY_WITH_TIMEOUT(!poofWindow(), 10000);
    }

    // DONE's tick: the previous pool goes before the next is made; no second start-up.
    void theDoneTickReleasesThePoolFirst() {
        afterAPuff();
        doner& done = doner::instance();
        const int left = done.Left();
        const int top = done.Top();
        QTRY_VERIFY_WITH_TIMEOUT(!doner::existing(), 10000);
        QCOMPARE(calls, (QStringList{"send release", "NSClassFromString NSAutoreleasePool",
                                     "send alloc", "send init", "NSShowAnimationEffect"}));
        QCOMPARE(effects.size(), 1);
        QCOMPARE(effects[0].effect, 10);
        QCOMPARE(effects[0].centre.x, float(left + 220));
        QCOMPARE(effects[0].centre.y, float(Screen(0).Height - (top + 350)));
        QCOMPARE(effects[0].size.width, 1000.0f);
        QCOMPARE(effects[0].size.height, 1000.0f);
        QCOMPARE(livePools(), 1);
    }

    void coordinatesAreFlipped_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("side");
        QTest::newRow("on screen") << 300 << 400 << 400;
        QTest::newRow("below the screen") << 10 << Screen(0).Height + 50 << 20;
        QTest::newRow("top left") << 0 << 0 << 1000;
    }
    void coordinatesAreFlipped() {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, side);
        afterAPuff();
        NSAlien::ShowPoof(x, y, side, side);
        QCOMPARE(effects.size(), 1);
        QCOMPARE(effects[0].centre.x, float(x));
        QCOMPARE(effects[0].centre.y, float(Screen(0).Height - y));
        QCOMPARE(effects[0].size.width, float(side));
        QVERIFY(!calls.contains(QStringLiteral("NSApplicationLoad")));
    }

    void releasingNothingSendsNothing() {
        NSAlien::ReleaseNSAutoreleasePool(nullptr);
        QVERIFY(calls.isEmpty());
    }

    // Without the animation function the call raises, naming it; the pools were already
    // exchanged. DONE then stays up and tries again on its next tick.
    void aMissingDesktopFunctionIsNamed() {
        afterAPuff();
        const AnyFunction saved = lookupSystemFunction(kCocoa, "NSShowAnimationEffect");
        unregisterSystemFunction(kCocoa, QStringLiteral("NSShowAnimationEffect"));
        try {
            NSAlien::ShowPoof(1, 2, 3, 4);
            QFAIL("no exception");
        } catch (const FunctionNotFoundException& e) {
            QCOMPARE(e.function(), QStringLiteral("NSShowAnimationEffect"));
            QCOMPARE(e.library(), QStringLiteral("Cocoa.framework"));
        }
        QCOMPARE(calls, (QStringList{"send release", "NSClassFromString NSAutoreleasePool",
                                     "send alloc", "send init"}));
        QCOMPARE(livePools(), 1);

        MessageAnswerer answerer;
        doner::instance();
        QTRY_VERIFY_WITH_TIMEOUT(!answerer.texts.isEmpty(), 10000);
        QVERIFY(answerer.texts[0].contains(QStringLiteral("NSShowAnimationEffect")));
        QVERIFY(answerer.texts[0].contains(QStringLiteral("Cocoa.framework")));
        QVERIFY(doner::existing());
        registerSystemFunction(kCocoa, QStringLiteral("NSShowAnimationEffect"), saved);
        QTRY_VERIFY_WITH_TIMEOUT(!doner::existing(), 10000);
    }
};

MORVELLE_TEST_MAIN(TestNSAlien)
#include "tst_nsalien.moc"
