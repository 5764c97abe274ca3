#pragma once

#include <QString>

class QWidget;

namespace korva
{

// The window's message boxes, behind one small interface so that tests can
// answer them without a modal loop.
class Prompts
{
public:
    virtual ~Prompts() = default;
    // A message with an OK button and no icon.
    virtual void error(QWidget *parent, const QString &text, const QString &title) = 0;
    // A question with Yes and No, Yes the default; true for Yes.
    virtual bool question(QWidget *parent, const QString &text, const QString &title) = 0;
};

// Shows real QMessageBox dialogs.
class MessageBoxPrompts : public Prompts
{
public:
    void error(QWidget *parent, const QString &text, const QString &title) override;
    bool question(QWidget *parent, const QString &text, const QString &title) override;
};

} // namespace korva
