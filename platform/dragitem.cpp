#include "dragitem.h"

#include <QMimeData>
#include <QUrl>

namespace platform {

DragItem::DragItem(const QList<FolderItem>& items) : m_items(items) {}

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
    return m_current < m_items.size() ? m_items[m_current] : FolderItem();
}

bool DragItem::NextItem() {
    if (m_current + 1 >= m_items.size())
        return false;
    ++m_current;
    return true;
}

} // namespace platform
