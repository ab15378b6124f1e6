#pragma once

#include <QList>
#include <QString>

#include "platform/folderitem.h"

// Converts one image file into one of nine formats by running the `sips` tool once; the
// result goes into the source's own folder.
namespace alienimage {

// Each returns true exactly when the file was converted. On failure, `failure` (when given)
// receives why, in plain words: the tool's own where it gave any. The second argument has
// no effect.
bool jpeg(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool gif(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool png(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool tiff(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool bmp(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool pict(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool psd(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool jpg2(const platform::FolderItem& source, bool, QString* failure = nullptr);
bool pdf(const platform::FolderItem& source, bool, QString* failure = nullptr);

using Operation = bool (*)(const platform::FolderItem&, bool, QString*);

// Why a file failed when the user stopped the run while it was being converted.
extern const QString kStoppedReason;

// The first free name in `folder` for `base` + `extension`: "base.ext", else "base 2.ext",
// "base 3.ext", ... A name is taken when a file of that name exists, or when it is one of
// the `reserved` paths (the files listed for the run).
platform::FolderItem freeOutput(const platform::FolderItem& folder, const QString& base,
                                const QString& extension, const QList<QString>& reserved);

} // namespace alienimage
