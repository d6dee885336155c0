#pragma once

#include "util/Status.h"

#include <QString>

// The user's home trash as the freedesktop.org trash layout has it: $XDG_DATA_HOME/Trash (by default
// ~/.local/share/Trash) with files/ and info/, every missing folder made 0700, as the desktop makes them.
namespace UserTrash {

// The home trash folder; empty when neither XDG_DATA_HOME nor HOME names an absolute folder.
QString homeTrashPath();

// Moves the file into the home trash under a name not used there yet, with its .trashinfo (original path,
// deletion time). On failure the file stays where it was and nothing is left in the trash.
Status moveToTrash(const QString& path);

} // namespace UserTrash
