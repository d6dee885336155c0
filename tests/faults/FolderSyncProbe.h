#pragma once

#include <QString>
#include <QStringList>

// Watches the flushes of folders in this process: for each, the folder and the names it held then.
namespace FolderSyncProbe {
struct Sync {
    QString folder;
    QStringList names;
};
void start();
QList<Sync> stop();
} // namespace FolderSyncProbe
