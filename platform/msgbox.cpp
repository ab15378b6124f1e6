#include "msgbox.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QPlainTextEdit>

namespace platform {

namespace {
constexpr int DetailLinesShown = 12;
constexpr int DetailWidth = 480;
} // namespace

void MsgBox(const QString& text) {
    // No parent window: the window that is active now may close itself while the message
    // waits (the progress window does, on its timer).
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void WarningBox(const QString& title, const QString& summary, const QString& note,
                const QStringList& details) {
    QMessageBox box(QMessageBox::Warning, title, summary, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.setInformativeText(note);

    // However many entries there are, the box keeps its size: the list scrolls.
    auto* list = new QPlainTextEdit(&box);
    list->setObjectName(QStringLiteral("details"));
    list->setReadOnly(true);
    list->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    list->setPlainText(details.join(QLatin1Char('\n')));
    const int lines = qMin(DetailLinesShown, int(list->document()->lineCount()) + 1);
    list->setFixedHeight(list->fontMetrics().lineSpacing() * lines + 2 * list->frameWidth() +
                         int(2 * list->document()->documentMargin()));
    list->setMinimumWidth(DetailWidth);

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
