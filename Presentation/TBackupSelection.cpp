#include "TBackupSelection.h"

#include "CBFMRepository.h"
#include "CWork.h"

#include <QComboBox>

bool TBackupSelection::Fill(QComboBox* box, const std::vector<TBackupInfo>& backups)
{
    box->clear();
    for (const TBackupInfo& info : backups)
        box->addItem(QString::fromStdString(CWork::GetBackupDescription(info)));
    if (backups.empty()) {
        box->addItem("There are no Harborlock backups");
        QFont font = box->font();
        font.setItalic(true);
        box->setFont(font);
    }
    box->setCurrentIndex(0);
    return !backups.empty();
}
