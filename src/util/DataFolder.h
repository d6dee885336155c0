#pragma once

#include <QString>

// The app's own data folder: $XDG_DATA_HOME/Quorbell (~/.local/share/Quorbell), closed to the group and
// others.
namespace DataFolder {

// The folder, created (with its parents) when missing. Empty when it cannot be created.
QString path();
// Where the folder is, whether or not it exists; nothing is created.
QString location();
// path() joined with a file name.
QString filePath(const QString& name);
// Tests point the folder somewhere private; an empty text restores the default.
void setOverride(const QString& folder);

} // namespace DataFolder
