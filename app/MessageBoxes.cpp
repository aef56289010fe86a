#include "app/MessageBoxes.h"

#include <QMessageBox>

namespace
{

std::function<void(BoxIcon, const QString &, const QString &)> &boxHook()
{
    static std::function<void(BoxIcon, const QString &, const QString &)> hook;
    return hook;
}

} // namespace

void showMessageBox(QWidget *parent, BoxIcon icon, const QString &title, const QString &text)
{
    if (boxHook()) {
        boxHook()(icon, title, text);
        return;
    }
    const QMessageBox::Icon boxIcon = icon == BoxIcon::Information ? QMessageBox::Information
        : icon == BoxIcon::Warning                                 ? QMessageBox::Warning
                                                                   : QMessageBox::Critical;
    QMessageBox box(boxIcon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void setMessageBoxHookForTesting(
    std::function<void(BoxIcon, const QString &, const QString &)> hook)
{
    boxHook() = std::move(hook);
}
