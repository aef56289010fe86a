#include "app/SetCheckDialog.h"

#include "upload/TransferMeter.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QTableWidget>
#include <QVBoxLayout>

namespace
{

constexpr int dialogWidth = 760;
constexpr int dialogHeight = 420;

} // namespace

QString SetCheckDialog::summaryText(
    const QString &workbookPath, const SetCheckResult &result, double bytesPerSecond)
{
    QStringList lines;
    lines << QStringLiteral("Реестр: %1").arg(workbookPath);
    lines << QStringLiteral("Найдено документов: %1").arg(result.documentCount);
    lines << QStringLiteral("Общий объём загрузки: %1").arg(sizeText(result.totalBytes));
    const QString estimate = estimatedTimeText(result.totalBytes, bytesPerSecond);
    if (estimate.isEmpty())
        lines << QStringLiteral("Оценить время загрузки можно будет только после первой "
                                "загрузки реестра.");
    else
        lines << QStringLiteral("Ориентировочное время загрузки: %1 (по скорости последней "
                                "загрузки)")
                     .arg(estimate);
    if (result.problems.isEmpty())
        lines << QStringLiteral("Проблем не найдено.");
    else
        lines << QStringLiteral("Найдено проблем: %1. Исправьте их перед загрузкой реестра.")
                     .arg(result.problems.size());
    return lines.join(u'\n');
}

SetCheckDialog::SetCheckDialog(const QString &workbookPath, const SetCheckResult &result,
    double bytesPerSecond, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Проверка комплекта"));
    auto *column = new QVBoxLayout(this);
    summary = new QLabel(summaryText(workbookPath, result, bytesPerSecond), this);
    summary->setTextFormat(Qt::PlainText);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary->setWordWrap(true);
    column->addWidget(summary);

    table = new QTableWidget(int(result.problems.size()), 3, this);
    table->setHorizontalHeaderLabels(
        {QStringLiteral("Файл"), QStringLiteral("Проблема"), QStringLiteral("Что сделать")});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(true);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    for (int row = 0; row < result.problems.size(); ++row) {
        const SetProblem &problem = result.problems[row];
        const QString cells[] = {problem.shownPath, problem.reason, problem.advice};
        for (int column = 0; column < 3; ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setToolTip(cells[column]);
            table->setItem(row, column, item);
        }
    }
    table->resizeRowsToContents();
    table->setVisible(!result.problems.isEmpty());
    column->addWidget(table, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    column->addWidget(buttons);
    resize(dialogWidth, result.problems.isEmpty() ? sizeHint().height() : dialogHeight);
}
