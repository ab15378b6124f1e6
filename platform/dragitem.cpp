#include "dragitem.h"

#include <QMimeData>
#include <QUrl>

namespace platform {

DragItem::DragItem(const QList<FolderItem>& items) : items_(items) {}

QList<FolderItem> DragItem::localFiles(const QMimeData* data) {
    QList<FolderItem> files;
    if (!data || !data->hasUrls())
        return files;
    const QList<QUrl> urls = data->urls();
    for (const QUrl& url : urls) {
        if (!url.isLocalFile() || url.toLocalFile().isEmpty())
            continue;
        // Decoded to bytes, not to text: a name that is not UTF-8 must still name its file.
        const QByteArray path =
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        files.append(FolderItem::fromNativePath(path));
    }
    return files;
}

FolderItem DragItem::folderItem() const {
    return current_ < items_.size() ? items_[current_] : FolderItem();
}

bool DragItem::NextItem() {
    if (current_ + 1 >= items_.size())
        return false;
    ++current_;
    return true;
}

} // namespace platform
