#include "windowbench.h"

#include "app/form1.h"
#include "testsettings.h"

#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace korva::bench
{

namespace
{

const QString kPlaceholder = QStringLiteral("??");
constexpr int kStartTimeoutMs = 5000;

} // namespace

WindowBench::WindowBench()
{
    m_emulator.setByteObserver([this](const emu::WireByte &byte) {
        if (byte.direction == emu::WireByte::Direction::FromModule)
            m_lastAnswerUsec.store(byte.usec);
    });
}

WindowBench::~WindowBench()
{
    m_window.reset();
    m_emulator.setByteObserver({});
}

bool WindowBench::start(QString *error)
{
    if (!m_emulator.isOpen()) {
        *error = QStringLiteral("emulator: ") + m_emulator.errorString();
        return false;
    }
    removeSettingsFile();
    mapPort(1, m_emulator.devicePath());
    m_window = std::make_unique<Form1>();
    m_window->setPrompts(&m_prompts);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get())) {
        *error = QStringLiteral("the window was not exposed");
        return false;
    }
    // The start-up tick decodes an empty burst; the figures start after it.
    if (!QTest::qWaitFor([this] { return !m_window->configExpected(); }, kStartTimeoutMs)) {
        *error = QStringLiteral("the start-up tick did not come");
        return false;
    }
    QLineEdit *speed = m_window->findChild<QComboBox *>(QStringLiteral("Combo5"))->lineEdit();
    m_speedText = speed->text();
    QObject::connect(speed, &QLineEdit::textChanged, m_window.get(), [this](const QString &text) {
        if (m_speedText == kPlaceholder && text != kPlaceholder) {
            m_decodedAt = Clock::now();
            m_decodedText = text;
            ++m_decoded;
        }
        m_speedText = text;
    });
    return true;
}

void WindowBench::click(const char *name)
{
    QTest::mouseClick(m_window->findChild<QPushButton *>(QString::fromLatin1(name)),
                      Qt::LeftButton);
}

bool WindowBench::waitForDecoded(int count, int timeoutMs)
{
    if (m_decoded >= count)
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QLineEdit *speed = m_window->findChild<QComboBox *>(QStringLiteral("Combo5"))->lineEdit();
    QObject::connect(speed, &QLineEdit::textChanged, &loop, [&] {
        if (m_decoded >= count)
            loop.quit();
    });
    timeout.start(timeoutMs);
    loop.exec();
    return m_decoded >= count;
}

bool WindowBench::connectAndRead()
{
    const int target = m_decoded + 1;
    click("Command7");
    return waitForDecoded(target, 2000) && m_window->port().portOpen();
}

void WindowBench::disconnect()
{
    if (m_window->port().portOpen())
        click("Command7");
}

} // namespace korva::bench
