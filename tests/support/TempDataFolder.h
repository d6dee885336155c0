#pragma once

#include "util/DataFolder.h"

#include <QTemporaryDir>

// Points the app's data folder at a private temporary folder for the lifetime of a test.
class TempDataFolder {
public:
    TempDataFolder() { DataFolder::setOverride(m_dir.path()); }
    ~TempDataFolder() { DataFolder::setOverride({}); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};
