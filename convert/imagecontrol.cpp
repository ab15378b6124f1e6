#include "imagecontrol.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "platform/desktop/poof.h"
#include "platform/exceptions.h"
#include "platform/msgbox.h"
#include "platform/pictures.h"
#include "platform/shell.h"
#include "windows/doner.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace platform;

namespace {
WindowLayout windowLayout() {
    WindowLayout l;
    l.Title = QString();
    l.Width = 205;
    l.Height = 464;
    l.Frame = 10;
    l.Placement = 0;
    l.HasBackColor = true;
    l.BackColor = QColor(0xED, 0xED, 0xED);
    l.Visible = false;
    l.CloseButton = true;
    l.MinimizeButton = false;
    l.MaximizeButton = false;
    l.Resizeable = false;
    l.Role = WindowRole::Utility;
    return l;
}

constexpr int kGap = 24;
constexpr QSize kButtonSize(30, 36);
constexpr QSize kLabelSize(29, 20);
constexpr int kIconSide = 24;

QColor labelColour(int control) {
    static const QColor colours[] = {{},
                                     QColor(0x50, 0x4F, 0x50),
                                     QColor(0x52, 0x52, 0x52),
                                     QColor(0x50, 0x4F, 0x4F),
                                     QColor(0x4C, 0x4C, 0x4C),
                                     QColor(0x51, 0x51, 0x51),
                                     QColor(0x51, 0x51, 0x51),
                                     QColor(0x51, 0x52, 0x51),
                                     QColor(0x50, 0x50, 0x50),
                                     QColor(0x53, 0x53, 0x53)};
    return colours[control];
}
} // namespace

const QString imagecontrol::FailureTitle = QStringLiteral("Files not converted");
const QString imagecontrol::StoppedTitle = QStringLiteral("Conversion stopped");

namespace {
// The end of a run shows DONE and its puff first; a report waits until both have gone, so
// that neither is drawn over it or hides behind it. No input is taken meanwhile, as during
// the run. False when the application is quitting, or the feedback never ends.
bool waitForFeedbackToEnd() {
    constexpr int kLongestMs = 10000;
    QEventLoop loop;
    QTimer check;
    bool over = false;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        over = !progressdes::existing() && !doner::existing() && !desktop::poofShowing();
        if (over || waited.elapsed() > kLongestMs)
            loop.quit();
    });
    check.start(10);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return over;
}
} // namespace

const QList<imagecontrol::FormatButton>& imagecontrol::formatButtons() {
    static const QList<FormatButton> table = {
        // clang-format off
        {8, "JPEG", 9, {25, 174}, {25, 219}, 169, alienimage::jpeg},
        {2, "GIF",  2, {88, 174}, {88, 219}, 170, alienimage::gif},
        {3, "TIFF", 3, {149, 174}, {149, 219}, 172, alienimage::tiff},
        {5, "TGA",  6, {25, 258}, {25, 309}, 179, alienimage::pict},
        {4, "PNG",  5, {88, 258}, {88, 309}, 178, alienimage::png},
        {6, "PSD",  7, {149, 258}, {149, 309}, 171, alienimage::psd},
        {1, "PDF",  1, {25, 344}, {24, 392}, 176, alienimage::pdf},
        {7, "JPG2", 8, {88, 344}, {88, 392}, 174, alienimage::jpg2},
        {9, "BMP",  4, {149, 346}, {149, 392}, 173, alienimage::bmp},
        // clang-format on
    };
    return table;
}

const imagecontrol::FormatButton& imagecontrol::formatButton(int button) {
    for (const FormatButton& row : formatButtons()) {
        if (row.button == button)
            return row;
    }
    throw NilObjectException(QStringLiteral("BevelButton%1").arg(button));
}

imagecontrol::imagecontrol() : Window(windowLayout()) {
    auto bevelButton = [this](int button) {
        const FormatButton& row = formatButton(button);
        return new BevelButton(this, QRect(row.buttonAt, kButtonSize), Picture(row.picture),
                               kIconSide, row.label);
    };
    auto formatLabel = [this](int control) {
        for (const FormatButton& row : formatButtons()) {
            if (row.labelControl == control)
                return new StaticText(this, QRect(row.labelAt, kLabelSize), row.label,
                                      {11, true, labelColour(control), 1});
        }
        throw NilObjectException(QStringLiteral("StaticText%1").arg(control));
    };

    // clang-format off
    CheckBox2    = new QCheckBox(this);
    BevelButton1 = bevelButton(1);
    BevelButton2 = bevelButton(2);
    BevelButton3 = bevelButton(3);
    BevelButton4 = bevelButton(4);
    BevelButton5 = bevelButton(5);
    BevelButton6 = bevelButton(6);
    BevelButton7 = bevelButton(7);
    BevelButton8 = bevelButton(8);
    StaticText1  = formatLabel(1);
    StaticText2  = formatLabel(2);
    StaticText3  = formatLabel(3);
    StaticText4  = formatLabel(4);
    StaticText5  = formatLabel(5);
    StaticText6  = formatLabel(6);
    StaticText7  = formatLabel(7);
    StaticText8  = formatLabel(8);
    StaticText9  = formatLabel(9);
    BevelButton9 = bevelButton(9);
    StaticText10 = new StaticText(this, QRect(25, 75, 154, 25), QStringLiteral("Desired Image File Name: "), {12, false, QColor(0x51, 0x50, 0x50), 1});
    EditField3   = new QLineEdit(QStringLiteral("Untitled"), this);
    StaticText11 = new StaticText(this, QRect(33, 39, 161, 28), QStringLiteral("Auto ( Batch-Multiple Files )"), {12, false, QColor(0x4E, 0x4E, 0x4E), 0});
    StaticText13 = new StaticText(this, QRect(27, 144, 158, 20), QStringLiteral("Choose format to convert"), {12, false, QColor(0x4C, 0x4C, 0x4C), 0});
    // clang-format on

    CheckBox2->setGeometry(8, 40, 18, 26);
    CheckBox2->setChecked(false);
    applyTextStyle(CheckBox2, {11, true, Qt::black, 0});

    EditField3->setGeometry(22, 102, 163, 22);
    applyTextStyle(EditField3, {12, true, Qt::black, 0});
    // The layout's colours are those of the field in use; switched off (automatic naming on)
    // it takes the desktop's greyed look, so that nobody types into it in vain.
    QPalette field = EditField3->palette();
    const QPalette desktop = QApplication::palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive})
        field.setColor(group, QPalette::Base, QColor(0x99, 0xCC, 0xFF));
    for (const auto role : {QPalette::Base, QPalette::Text, QPalette::WindowText})
        field.setColor(QPalette::Disabled, role, desktop.color(QPalette::Disabled, role));
    EditField3->setPalette(field);
    EditField3->setAlignment(Qt::AlignLeft);

    StaticText11->setBuddy(CheckBox2);
    StaticText10->setBuddy(EditField3);
    // Tab goes down the window: the box, the name, then the grid row by row.
    BevelButton* const numbered[] = {nullptr,      BevelButton1, BevelButton2, BevelButton3,
                                     BevelButton4, BevelButton5, BevelButton6, BevelButton7,
                                     BevelButton8, BevelButton9};
    QWidget* previous = EditField3;
    setTabOrder(CheckBox2, EditField3);
    for (const FormatButton& row : formatButtons()) {
        setTabOrder(previous, numbered[row.button]);
        previous = numbered[row.button];
    }

    connect(CheckBox2, &QCheckBox::clicked, this,
            [this] { guarded([this] { CheckBox2_Action(); }); });
    const std::pair<BevelButton*, void (imagecontrol::*)()> handlers[] = {
        {BevelButton1, &imagecontrol::BevelButton1_Action},
        {BevelButton2, &imagecontrol::BevelButton2_Action},
        {BevelButton3, &imagecontrol::BevelButton3_Action},
        {BevelButton4, &imagecontrol::BevelButton4_Action},
        {BevelButton5, &imagecontrol::BevelButton5_Action},
        {BevelButton6, &imagecontrol::BevelButton6_Action},
        {BevelButton7, &imagecontrol::BevelButton7_Action},
        {BevelButton8, &imagecontrol::BevelButton8_Action},
        {BevelButton9, &imagecontrol::BevelButton9_Action},
    };
    for (const auto& [button, handler] : handlers) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler = handler] { guarded([this, handler] { (this->*handler)(); }); });
    }
}

// Beside the Drop Screen, to its right, so that neither hides the other.
QPoint imagecontrol::initialPosition() const {
    const qconvert* dropScreen = qconvert::existing();
    if (!dropScreen)
        return Window::initialPosition();
    const QRect beside = dropScreen->frameGeometry();
    QPoint p(beside.right() + kGap, beside.top());
    const QRect area = mainScreenArea();
    if (p.x() + width() > area.right())
        p.setX(qMax(area.left(), beside.left() - kGap - width()));
    return p;
}

void imagecontrol::CheckBox2_Action() {
    EditField3->setEnabled(!CheckBox2->isChecked());
}

void imagecontrol::run(const FormatButton& row) {
    struct Failed {
        FolderItem file;
        QString why;
    };
    QList<Failed> failed;
    Shell::clearRequest();
    // Nothing else runs between two files: no timer tick and no input comes in before this
    // handler returns, and the progress window relies on that. Only Escape and Quit reach
    // the tool's run, and end the batch after the file they stopped.
    int next = 0;
    int converted = 0;
    while (next <= int(qconvert::instance().CryptFileArray.size()) - 1) {
        const FolderItem item = qconvert::instance().CryptFileArray[next];
        QString why;
        const bool done = row.operation(item, true, &why);
        const bool stopped = Shell::request() != Shell::Request::None;
        // A file whose conversion was stopped has not failed: it stays, as one not reached.
        if (!done && stopped && why == alienimage::kStoppedReason)
            break;
        ++next;
        if (done)
            ++converted;
        else
            failed.append({item, why});
        if (stopped)
            break;
    }

    // Converted files leave the Drop Screen; failed ones and those not reached stay, so
    // they can be tried again.
    qconvert& dropScreen = qconvert::instance();
    const qsizetype total = dropScreen.CryptFileArray.size();
    const QList<FolderItem> notReached = dropScreen.CryptFileArray.mid(next);
    dropScreen.CryptFileArray.clear();
    dropScreen.ListBox1->DeleteAllRows();
    const auto keep = [&dropScreen](const FolderItem& file) {
        dropScreen.CryptFileArray.append(file);
        dropScreen.ListBox1->AddRow(file.Name());
        dropScreen.ListBox1->setCell(dropScreen.ListBox1->LastIndex(), 1, file.AbsolutePath());
    };
    QStringList details;
    for (const Failed& f : failed) {
        keep(f.file);
        details.append(readable(f.file.AbsolutePath()) + QStringLiteral("\n    ") + f.why);
    }
    for (const FolderItem& file : notReached)
        keep(file);

    // On Quit the application ends as soon as this returns: nothing is left to ask.
    const bool stopped = Shell::request() == Shell::Request::Stop;
    if (Shell::request() == Shell::Request::Quit || (failed.isEmpty() && !stopped))
        return;
    const QString note =
        stopped ? stopSentence(converted + int(failed.size()), int(total), int(total) - converted)
                : QString();
    if (!waitForFeedbackToEnd())
        return;
    if (failed.isEmpty()) {
        ReportBox(Report::Information, StoppedTitle, note, QString(), {});
        return;
    }
    const QString summary = QStringLiteral("%1 of %2 %3 could not be converted.")
                                .arg(failed.size())
                                .arg(total)
                                .arg(total == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    ReportBox(Report::Warning, FailureTitle, summary, note, details);
}

QString imagecontrol::stopSentence(int finished, int total, int listed) {
    const QString files = total == 1 ? QStringLiteral("file") : QStringLiteral("files");
    QString still;
    if (listed == total && total == 1)
        still = QStringLiteral("it is still listed");
    else if (listed == total)
        still = QStringLiteral("all %1 are still listed").arg(listed);
    else
        still = QStringLiteral("%1 %2 still listed")
                    .arg(listed)
                    .arg(listed == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    return QStringLiteral("The run was stopped after %1 of %2 %3; %4.")
        .arg(finished)
        .arg(total)
        .arg(files, still);
}
