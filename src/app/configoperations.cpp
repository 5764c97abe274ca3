#include "app/form1.h"
#include "app/modempage.h"
#include "app/prompts.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace korva
{

void Form1::onConfigurationDecoded(const ConfigTexts &texts)
{
    m_modem->setTexts(texts);
    if (port().portOpen())
        setConfigButtonsEnabled(true);
}

void Form1::onRefreshClicked()
{
    if (operationRunning())
        return;
    Operation operation(m_engine);
    m_engine.requestConfiguration();
}

void Form1::onSetClicked()
{
    if (operationRunning())
        return;
    Operation operation(m_engine);
    m_engine.sendConfiguration();
}

void Form1::onResetDefaultsClicked()
{
    if (operationRunning())
        return;
    Operation operation(m_engine);
    if (!m_prompts->question(this,
                             QStringLiteral("This will reset the unit to Factory defaults.\r\n"
                                            "Continue?"),
                             applicationTitle()))
        return;
    // The device may have gone, or the window closed, while the question was open:
    // then nothing is changed or sent.
    if (m_closing || !port().portOpen())
        return;
    for (int i = 0; i < kAddressBytes; ++i)
        m_modem->addressBox(i)->setText(QStringLiteral("00"));
    m_engine.sendConfiguration();
}

void Form1::onBandChosen()
{
    if (operationRunning())
        return restoreListText(m_modem->bandList(), m_acceptedBand);
    m_acceptedBand = m_modem->bandList()->currentText();
    Operation operation(m_engine);
    m_engine.requestConfiguration();
}

void Form1::onBandEdited()
{
    // A key typed while an operation runs stays in the box but starts nothing.
    m_acceptedBand = m_modem->bandList()->currentText();
    if (operationRunning())
        return;
    Operation operation(m_engine);
    m_engine.requestConfiguration();
}

} // namespace korva
