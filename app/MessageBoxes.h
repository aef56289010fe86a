// Modal message boxes with a title, an icon and one OK button, behind one hook so that
// tests see what would have been shown instead of waiting on a modal box.
#pragma once

#include <QString>

#include <functional>

class QWidget;

enum class BoxIcon { Information, Warning, Error };

// Shows the box and returns when the user has closed it (or at once, with a hook set).
// Non-empty `details` go into the box's "show details" area.
void showMessageBox(QWidget *parent, BoxIcon icon, const QString &title, const QString &text,
    const QString &details = {});

// Replaces every box by a call of `hook`; an empty hook restores the real boxes.
void setMessageBoxHookForTesting(
    std::function<void(BoxIcon, const QString &, const QString &)> hook);
// The same, with the details too; the last hook set of the two is the one called.
void setDetailedMessageBoxHookForTesting(
    std::function<void(BoxIcon, const QString &, const QString &, const QString &)> hook);

// A yes-or-no question whose safe answer is the default: `accept` names the button that
// says yes, "Отмена" says no (and Escape). True for yes.
bool askMessageBox(
    QWidget *parent, const QString &title, const QString &text, const QString &accept);
// Answers every question by `hook` instead; an empty hook restores the real ones.
void setQuestionHookForTesting(std::function<bool(const QString &title, const QString &text)> hook);
