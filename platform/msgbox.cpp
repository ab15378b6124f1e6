#include "msgbox.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

namespace platform {

namespace {
constexpr int kDetailLinesShown = 12;
constexpr int kDetailWidth = 480;

class DetailList : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;
    // The document's margin, moved round the view; returns its width.
    int moveMarginOutside() {
        const int margin = int(document()->documentMargin());
        document()->setDocumentMargin(0);
        setViewportMargins(margin, margin, margin, margin);
        return margin;
    }
    int lineHeight() const { return int(blockBoundingRect(document()->firstBlock()).height()); }
};
} // namespace

void MsgBox(const QString& text) {
    // No parent window: the window that is active now may close itself while the message
    // waits (the progress window does, on its timer).
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void ReportBox(Report kind, const QString& title, const QString& summary, const QString& note,
               const QStringList& details) {
    QMessageBox box(kind == Report::Warning ? QMessageBox::Warning : QMessageBox::Information,
                    title, summary, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.setInformativeText(note);
    if (details.isEmpty()) {
        box.exec();
        return;
    }

    // However many entries there are, the box keeps its size: the list scrolls, a line at a
    // time, and shows whole lines only. Lines are not wrapped, so that each is one line high,
    // and the margin goes round the view instead of the text, so that it scrolls by nothing
    // but lines.
    auto* list = new DetailList(&box);
    list->setObjectName(QStringLiteral("details"));
    list->setReadOnly(true);
    list->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    list->setLineWrapMode(QPlainTextEdit::NoWrap);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list->setPlainText(details.join(QLatin1Char('\n')));
    const int margin = list->moveMarginOutside();
    const int lineHeight = list->lineHeight();
    const int lines = qMin(kDetailLinesShown, int(list->document()->lineCount()));
    list->setFixedHeight(lineHeight * lines + 2 * list->frameWidth() + 2 * margin +
                         list->horizontalScrollBar()->sizeHint().height());
    list->setMinimumWidth(kDetailWidth);

    // Between the texts and the OK button.
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    auto* buttons = box.findChild<QDialogButtonBox*>();
    if (grid && buttons) {
        grid->removeWidget(buttons);
        const int row = grid->rowCount();
        grid->addWidget(list, row, 0, 1, grid->columnCount());
        grid->addWidget(buttons, row + 1, 0, 1, grid->columnCount());
    }
    box.exec();
}

} // namespace platform
