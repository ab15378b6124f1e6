#pragma once

#include <QIcon>
#include <QString>

namespace platform {

// The picture with this resource id from the application's resource file, loaded on
// first use and kept until the application ends. A missing picture is a null icon.
const QIcon& Picture(int id);

// The application's own icon, from the same resource file.
QIcon ApplicationIcon();

// Where the resource file lives: <prefix>/share/morvelle/morvelle.rcc beside <prefix>/bin.
QString resourceFilePath();

// Drops every loaded picture and the resource file; used when the application ends.
void releasePictures();

} // namespace platform
