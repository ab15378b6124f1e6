#pragma once

#include <QList>

#include "folderitem.h"

class QMimeData;

namespace platform {

// The files carried by one drop, visited one at a time.
class DragItem {
public:
    explicit DragItem(const QList<FolderItem>& items);
    // The local files a drop carries, in the order the source offered them.
    static QList<FolderItem> localFiles(const QMimeData* data);

    // The file item of the current dragged item.
    FolderItem folderItem() const;
    // Moves to the next item; false when none is left.
    bool NextItem();

private:
    QList<FolderItem> items_;
    qsizetype current_ = 0;
};

} // namespace platform
