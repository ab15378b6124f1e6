#include "qconvert.h"

#include <QAbstractButton>
#include <QShortcut>

#include "convert/imagecontrol.h"
#include "native/nsalien.h"
#include "platform/dragitem.h"
#include "platform/exceptions.h"
#include "platform/msgbox.h"
#include "platform/pictures.h"

using namespace platform;

const QString qconvert::DuplicateMessage =
    QStringLiteral("looks like you added Duplicate files. Please remove from List.");

namespace {
WindowLayout windowLayout() {
    WindowLayout l;
    l.Title = QStringLiteral("Drop Screen");
    l.Width = 488;
    l.Height = 512;
    l.Frame = 0;
    l.Placement = 2;
    l.HasBackColor = true;
    l.BackColor = QColor(0xE8, 0xE8, 0xE8);
    l.Visible = true;
    l.CloseButton = true;
    l.MinimizeButton = true;
    l.MaximizeButton = false;
    l.Resizeable = false;
    return l;
}

constexpr int kPictureAll = 177;
constexpr int kPictureSingle1 = 180;
constexpr int kRemoveIconSide = 32;
} // namespace

qconvert::qconvert() : Window(windowLayout()) {
    const TextStyle dropMore{20, true, QColor(0x99, 0xCC, 0xFF), 1};
    const TextStyle caption{12, false, QColor(0x51, 0x51, 0x51), 1};
    const TextStyle prompt{18, true, QColor(0xB3, 0xB3, 0xB3), 1};
    const TextStyle captionSelected{12, false, QColor(0x50, 0x50, 0x50), 1};

    // clang-format off
    ImageWell4      = new ImageWell(this, QRect(-9, 7, 508, 142));
    RoundRectangle1 = new RoundRectangle(this, QRect(-11, 0, 510, 226), Qt::black, Qt::black, 0, 16, 16);
    RoundRectangle2 = new RoundRectangle(this, QRect(-20, 0, 522, 227), QColor(0x66, 0x66, 0x66), Qt::black, 0, 16, 16);
    StaticText44    = new StaticText(RoundRectangle2, inContainer(QRect(167, 72, 137, 43), RoundRectangle2), QStringLiteral("Drop More"), dropMore);
    ListBox1        = new Listbox(this, QRect(0, 227, 488, 220), QStringLiteral("File Name\tLocation"), QStringLiteral("56%, 115%"));
    StaticText1     = new StaticText(this, QRect(338, 488, 66, 20), QStringLiteral("Remove All"), caption);
    BevelButton17   = new BevelButton(this, QRect(107, 453, 42, 37), Picture(kPictureSingle1), kRemoveIconSide, QStringLiteral("Remove Selected"));
    BevelButton18   = new BevelButton(this, QRect(349, 453, 45, 37), Picture(kPictureAll), kRemoveIconSide, QStringLiteral("Remove All"));
    StaticText31    = new StaticText(RoundRectangle2, inContainer(QRect(16, 46, 450, 77), RoundRectangle2), QStringLiteral("Drag and Drop image \rformats here"), prompt);
    StaticText9     = new StaticText(this, QRect(77, 488, 96, 20), QStringLiteral("Remove Selected"), captionSelected);
    // clang-format on

    StaticText44->setVisible(false);
    QFont listFont = ListBox1->font();
    listFont.setPixelSize(12);
    ListBox1->setFont(listFont);
    ListBox1->CellBackgroundPaint = [this](Graphics& g, int row, int column) {
        return ListBox1_CellBackgroundPaint(g, row, column);
    };
    ListBox1->CellTextPaint = [this](Graphics& g, int row, int column, int x, int y) {
        return ListBox1_CellTextPaint(g, row, column, x, y);
    };
    ListBox1->setAccessibleName(QStringLiteral("Files to convert"));
    // Delete and BackSpace in the list do what Remove Selected does.
    for (const int key : {Qt::Key_Delete, Qt::Key_Backspace}) {
        auto* shortcut = new QShortcut(QKeySequence(key), ListBox1);
        shortcut->setContext(Qt::WidgetShortcut);
        connect(shortcut, &QShortcut::activated, BevelButton17, &QAbstractButton::click);
    }
    connect(BevelButton17, &QAbstractButton::clicked, this,
            [this] { guarded([this] { BevelButton17_Action(); }); });
    connect(BevelButton18, &QAbstractButton::clicked, this,
            [this] { guarded([this] { BevelButton18_Action(); }); });
}

void qconvert::Open() {
    AcceptFileDrop(QStringLiteral("special/any"));
}

QPoint qconvert::initialPosition() const {
    // Centred on the main screen, leaving room for the format chooser at its right.
    QPoint centre = Window::initialPosition();
    return QPoint(qMax(0, centre.x() - 120), centre.y());
}

void qconvert::DropObject(DragItem& obj, int) {
    imagecontrol::instance().Show();

    ListBox1->setHeadingIndex(0);
    removeDuplicateRows();

    StaticText44->setVisible(true);
    StaticText31->setVisible(false);

    do {
        const FolderItem item = obj.folderItem();
        CryptFileArray.append(item);
        ListBox1->AddRow(item.Name());
        ListBox1->setCell(ListBox1->LastIndex(), 1, item.AbsolutePath());
    } while (obj.NextItem());

    NSAlien::ShowPoof(Left() + 220, Top() + 220, 400, 400);
}

// Rows are sorted by name, so rows that show the same file stand together. A row goes only
// when an earlier row of its name shows the same path: two files of one name from two
// folders are different files and both stay. However many rows go, the user is told once.
void qconvert::removeDuplicateRows() {
    bool removed = false;
    for (int i = ListBox1->ListCount() - 1; i >= 1; --i) {
        const QString name = ListBox1->Cell(i, 0);
        const QString path = ListBox1->Cell(i, 1);
        bool duplicate = false;
        for (int j = i - 1; j >= 0 && ListBox1->Cell(j, 0) == name; --j) {
            if (ListBox1->Cell(j, 1) == path) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate)
            continue;
        ListBox1->RemoveRow(i);
        removeOneEntry(path);
        removed = true;
    }
    if (removed)
        MsgBox(DuplicateMessage);
}

void qconvert::removeOneEntry(const QString& absolutePath) {
    for (qsizetype k = 0; k < CryptFileArray.size(); ++k) {
        if (CryptFileArray[k].AbsolutePath() == absolutePath) {
            CryptFileArray.removeAt(k);
            return;
        }
    }
}

void qconvert::showDropPrompt() {
    StaticText44->setVisible(false);
    StaticText31->setVisible(true);
}

void qconvert::BevelButton17_Action() {
    int i = 0;
    while (ListBox1->SelCount() > 0) {
        if (ListBox1->Selected(i)) {
            const QString path = ListBox1->Cell(i, 1);
            ListBox1->RemoveRow(i);
            removeOneEntry(path);
            showDropPrompt();
        } else {
            ++i;
        }
    }
}

void qconvert::BevelButton18_Action() {
    ListBox1->DeleteAllRows();
    CryptFileArray.clear();
    showDropPrompt();
}

bool qconvert::ListBox1_CellBackgroundPaint(Graphics& g, int row, int) {
    if (row % 2 == 0) {
        g.setForeColor(QColor(0xC3, 0xE1, 0xFE));
        g.FillRect(0, 0, g.Width(), g.Height());
    }
    return false;
}

bool qconvert::ListBox1_CellTextPaint(Graphics& g, int row, int, int, int) {
    if (ListBox1->Selected(row)) {
        g.setForeColor(QColor(0x6B, 0xB5, 0xFC));
        g.FillRect(0, 0, g.Width(), g.Height());
        g.setForeColor(Qt::white);
    }
    return false;
}
