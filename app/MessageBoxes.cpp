#include "app/MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>

namespace
{

using DetailedHook
    = std::function<void(BoxIcon, const QString &, const QString &, const QString &)>;

std::function<bool(const QString &, const QString &)> &questionHook()
{
    static std::function<bool(const QString &, const QString &)> hook;
    return hook;
}

DetailedHook &boxHook()
{
    static DetailedHook hook;
    return hook;
}

} // namespace

void showMessageBox(QWidget *parent, BoxIcon icon, const QString &title, const QString &text,
    const QString &details)
{
    if (boxHook()) {
        boxHook()(icon, title, text, details);
        return;
    }
    const QMessageBox::Icon boxIcon = icon == BoxIcon::Information ? QMessageBox::Information
        : icon == BoxIcon::Warning                                 ? QMessageBox::Warning
                                                                   : QMessageBox::Critical;
    QMessageBox box(boxIcon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
}

void setMessageBoxHookForTesting(
    std::function<void(BoxIcon, const QString &, const QString &)> hook)
{
    if (!hook) {
        boxHook() = {};
        return;
    }
    boxHook() = [hook = std::move(hook)](BoxIcon icon, const QString &title, const QString &text,
                    const QString &) { hook(icon, title, text); };
}

void setDetailedMessageBoxHookForTesting(DetailedHook hook)
{
    boxHook() = std::move(hook);
}

bool askMessageBox(
    QWidget *parent, const QString &title, const QString &text, const QString &accept)
{
    if (questionHook())
        return questionHook()(title, text);
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton *yes = box.addButton(accept, QMessageBox::AcceptRole);
    QPushButton *no = box.addButton(QStringLiteral("Отмена"), QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void setQuestionHookForTesting(std::function<bool(const QString &, const QString &)> hook)
{
    questionHook() = std::move(hook);
}
