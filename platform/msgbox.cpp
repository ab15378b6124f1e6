#include "msgbox.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

void MsgBox(const QString& text) {
    // No parent window: the window that is active now may close itself while the message
    // waits (the progress window does, on its timer).
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace platform
