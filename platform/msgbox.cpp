#include "msgbox.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

void MsgBox(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setObjectName(QStringLiteral("MsgBox"));
    box.exec();
}

} // namespace platform
