#pragma once

#include <QByteArray>
#include <QString>

// File steps shared by the file-based back ends. Each returns false and fills *error (when
// given) with a complete, human-readable description.
namespace LoginItemFiles {
// Creates the folder with its parents when missing.
bool ensureFolder(const QString& folder, QString* error);
// Replaces the file in one step, so a crash never leaves half an entry behind.
bool writeAtomically(const QString& path, const QByteArray& contents, QString* error);
// Removes the file (or a symbolic link in its place); a missing file is not an error.
bool removeIfPresent(const QString& path, QString* error);
} // namespace LoginItemFiles
