#pragma once
// Files that hold secrets or what the lane recorded (the configuration, the settings store
// with the API key, the database, reports) are made readable by their owner only.
#include <QString>

namespace PrivateFile {

// Creates the file empty, readable and writable by its owner only, when it does not
// exist yet (and, with makeFolder, its folder when missing). An existing file is left as
// it is, so its mode is never widened; writers that replace the file (settings) keep
// that mode. False when the file neither existed nor could be created.
bool create(const QString &path, bool makeFolder = false);

// Whether anyone but the file's owner (its group, everyone) may read it.
bool readableByOthers(const QString &path);

// Takes from the file every right of anyone but its owner; true when there was one to take.
bool makeOwnerOnly(const QString &path);

}
