// What the conversion tool relies on in libvips where libvips offers no public interface for
// it: each check fails the day libvips changes that behaviour.
#include <QtTest>

#include <dlfcn.h>
#include <vips/vips8>

#include "core/modules.h"
#include "core/strips.h"

using vips::VImage;

class TestLibvips : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void optionalModulesWaitUntilAsked();
    void tileHeightFollowsTheOption_data();
    void tileHeightFollowsTheOption();
};

void TestLibvips::initTestCase() {
    sips::deferOptionalModules();
    QVERIFY(VIPS_INIT("tst_libvips") == 0);
}

// $VIPSHOME pointed at /dev/null before libvips starts keeps its modules unloaded.
void TestLibvips::optionalModulesWaitUntilAsked() {
    Dl_info info;
    QVERIFY(dladdr(reinterpret_cast<void*>(&vips_init), &info) != 0 && info.dli_fname);
    const QString module = QString("%1/vips-modules-%2.%3/vips-magick.so")
                               .arg(QFileInfo(QString::fromLocal8Bit(info.dli_fname)).path())
                               .arg(vips_version(0))
                               .arg(vips_version(1));
    if (!QFileInfo::exists(module))
        QSKIP("this machine's libvips reads through ImageMagick without a module, or not at all");
    QCOMPARE(vips_type_find("VipsOperation", "magickload"), GType(0));
    QVERIFY(sips::loadOptionalModules());
    QVERIFY(vips_type_find("VipsOperation", "magickload") != 0);
}

// The tile height is set through libvips's command-line option; a picture's tiles show it.
void TestLibvips::tileHeightFollowsTheOption_data() {
    QTest::addColumn<int>("rows");
    QTest::newRow("streaming") << sips::kStreamingTileHeight;
    QTest::newRow("libvips's own") << sips::kLibvipsTileHeight;
    QTest::newRow("another") << 40;
}

void TestLibvips::tileHeightFollowsTheOption() {
    QFETCH(int, rows);
    sips::setTileHeight(rows);
    // Turned, a picture is computed in small tiles, whose height is the setting.
    VImage turned = VImage::black(500, 300).rot90();
    int width = 0, height = 0, lines = 0;
    vips_get_tile_size(turned.get_image(), &width, &height, &lines);
    QCOMPARE(height, rows);
    sips::setTileHeight(sips::kLibvipsTileHeight);
}

QTEST_GUILESS_MAIN(TestLibvips)
#include "tst_libvips.moc"
