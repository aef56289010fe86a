// "Проверить комплект...": the dialog with the check's counts, size, estimate and problems.
#pragma once

#include "upload/SetCheck.h"

#include <QDialog>
#include <QObject>

class QLabel;
class QTableWidget;

class SetCheckDialog : public QDialog
{
    Q_OBJECT

public:
    // `bytesPerSecond`: the last upload's speed, 0 when there was none.
    SetCheckDialog(const QString &workbookPath, const SetCheckResult &result, double bytesPerSecond,
        QWidget *parent = nullptr);

    static QString summaryText(
        const QString &workbookPath, const SetCheckResult &result, double bytesPerSecond);

    QLabel *summary = nullptr;
    QTableWidget *table = nullptr; // file, problem, what to do; hidden when none
};
