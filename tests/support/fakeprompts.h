#pragma once

#include "app/prompts.h"

#include <QList>
#include <QString>

#include <functional>

// Records every message box instead of showing it, and answers questions with
// a preset answer, so that GUI tests never wait on a modal dialog.
class FakePrompts : public korva::Prompts
{
public:
    struct Shown {
        QString text;
        QString title;
        bool question = false;
    };

    void error(QWidget *, const QString &text, const QString &title) override
    {
        shown.append({text, title, false});
        if (onShown)
            onShown();
    }

    bool question(QWidget *, const QString &text, const QString &title) override
    {
        shown.append({text, title, true});
        if (onShown)
            onShown();
        return answerYes;
    }

    QList<Shown> shown;
    bool answerYes = true;
    // Runs while a box is "open", as a user's action would.
    std::function<void()> onShown;
};
