#pragma once
// The backup list of the delete and export dialogs: one description per backup, or an
// italic placeholder when the repository holds none.

#include <vector>

class QComboBox;
struct TBackupInfo;

class TBackupSelection {
public:
    // Fills the box and selects its first line; false when there was no backup to list.
    static bool Fill(QComboBox* box, const std::vector<TBackupInfo>& backups);
};
