// How many threads the conversion tool's writers start, under the processors the process is
// really allowed to use.
#include <QtTest>

#include <sched.h>
#include <vips/vips.h>

#include "core/parallel.h"

namespace {

// Holds the calling thread to its first `count` allowed processors, then gives back the rest.
class Affinity {
public:
    explicit Affinity(int count) {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t fewer;
        CPU_ZERO(&fewer);
        for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE && kept < count; ++cpu)
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &fewer);
                ++kept;
            }
        set_ = sched_setaffinity(0, sizeof fewer, &fewer) == 0;
    }
    ~Affinity() { sched_setaffinity(0, sizeof saved_, &saved_); }
    bool set() const { return set_; }

private:
    cpu_set_t saved_;
    bool set_ = false;
};

int processorsAllowed() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

} // namespace

class TestThreads : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsTheProcessorsAllowed_data();
    void followsTheProcessorsAllowed();
};

void TestThreads::followsTheProcessorsAllowed_data() {
    QTest::addColumn<int>("processors");
    QTest::addColumn<QByteArray>("asked");
    QTest::addColumn<size_t>("bytesPerThread");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("library"); // libvips's threads
    QTest::newRow("one processor, none asked") << 1 << QByteArray() << size_t(1) << 1 << 1;
    QTest::newRow("one processor, 8 asked") << 1 << QByteArray("8") << size_t(1) << 1 << 1;
    QTest::newRow("two processors, none asked") << 2 << QByteArray() << size_t(1) << 2 << 2;
    QTest::newRow("two processors, 256 asked") << 2 << QByteArray("256") << size_t(1) << 2 << 2;
    QTest::newRow("two processors, 1 asked") << 2 << QByteArray("1") << size_t(1) << 1 << 1;
    QTest::newRow("two processors, 0 ignored") << 2 << QByteArray("0") << size_t(1) << 2 << 2;
    QTest::newRow("two processors, 257 ignored") << 2 << QByteArray("257") << size_t(1) << 2 << 2;
    QTest::newRow("two processors, 2x ignored") << 2 << QByteArray("2x") << size_t(1) << 2 << 2;
    // A thread that would hold 64 MB of its own gets no company.
    QTest::newRow("two processors, big threads")
        << 2 << QByteArray() << (size_t(64) << 20) << 1 << 2;
}

void TestThreads::followsTheProcessorsAllowed() {
    QFETCH(int, processors);
    QFETCH(QByteArray, asked);
    QFETCH(size_t, bytesPerThread);
    QFETCH(int, expected);
    QFETCH(int, library);
    if (processorsAllowed() < processors)
        QSKIP(qPrintable(QString("needs %1 processors to run on").arg(processors)));
    Affinity affinity(processors);
    if (!affinity.set())
        QSKIP("the process may not change the processors it runs on");
    if (asked.isNull())
        qunsetenv("SIPS_THREADS");
    else
        qputenv("SIPS_THREADS", asked);
    QCOMPARE(sips::workerThreadsWithin(bytesPerThread), expected);
    // As libvips starts: one thread per processor it may run on.
    qunsetenv("VIPS_CONCURRENCY");
    vips_concurrency_set(processors);
    sips::holdLibraryThreads();
    QCOMPARE(vips_concurrency_get(), library);
    qunsetenv("SIPS_THREADS");
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
