#pragma once

#include "app/form1.h"
#include "fakeprompts.h"
#include "moduleemulator.h"
#include "testsettings.h"
#include "wire.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <memory>

// The tool's window against an emulated module on a pseudo-terminal that is
// registered as Comm Port 1, with message boxes recorded instead of shown.
struct Session {
    korva::emu::ModuleEmulator emulator;
    FakePrompts prompts;
    std::unique_ptr<korva::Form1> window;

    Session()
    {
        removeSettingsFile();
        mapPort(1, emulator.devicePath());
        window = std::make_unique<korva::Form1>();
        window->setPrompts(&prompts);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // Let the tick that follows start-up pass, as a user would.
        QTRY_VERIFY(!window->configExpected());
    }

    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    QComboBox *list(const char *name) const { return window->findChild<QComboBox *>(name); }

    QString field(const QString &name) const
    {
        if (auto *box = window->findChild<QLineEdit *>(name))
            return box->text();
        return window->findChild<QComboBox *>(name)->currentText();
    }

    QStringList fields() const
    {
        QStringList texts;
        for (const char *name :
             {"Text1", "Text2", "Text3", "Text4", "Text5", "Text6", "Text7", "Text8", "Text9",
              "Text10", "Text11", "Text12", "Combo4", "Combo5"})
            texts << field(QString::fromLatin1(name));
        return texts;
    }

    void click(const char *name) { QTest::mouseClick(button(name), Qt::LeftButton); }

    // Chooses an entry of a list as the user would, by its text.
    void choose(const char *name, const QString &entry)
    {
        QComboBox *combo = list(name);
        const int index = combo->findText(entry);
        QVERIFY2(index >= 0, qPrintable(entry));
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    // Clicks a button that runs an operation ending in "---", and checks that it reached
    // the module before the event loop ran again: bytes leave when Output returns.
    void run(const char *name)
    {
        click(name);
        QDeadlineTimer deadline(2000);
        while (window->port().portOpen() && !emulator.receivedBytes().endsWith("---") &&
               !deadline.hasExpired())
            QThread::msleep(5);
        if (window->port().portOpen())
            QVERIFY2(emulator.receivedBytes().endsWith("---"),
                     emulator.receivedBytes().constData());
        QTRY_VERIFY(!window->receiver().timer1().isActive());
    }

    // Connects and waits until the answer has been decoded (or nothing came).
    void connectAndRead() { run("Command7"); }
};
