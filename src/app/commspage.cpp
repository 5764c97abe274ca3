#include "app/commspage.h"

#include "app/appearance.h"
#include "serial/portmap.h"

#include <QAbstractItemView>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

namespace korva
{

namespace
{

constexpr qreal kPagePoints = 9.75;

} // namespace

ChoiceList::ChoiceList(QWidget *parent) : QComboBox(parent)
{
    // Editable so that a stored text that is no entry can still be shown as it is;
    // the line edit is read-only and typed keys are eaten, so the user only chooses.
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    lineEdit()->setReadOnly(true);
    installEventFilter(this);
    lineEdit()->installEventFilter(this);
}

void ChoiceList::showPopup()
{
    emit popupAboutToShow();
    QComboBox::showPopup();
    m_popup = view()->parentWidget();
    m_popup->installEventFilter(this);
}

bool ChoiceList::eventFilter(QObject *watched, QEvent *event)
{
    // The text cannot be edited, so a press on it opens the list, as on the arrow.
    if (watched == lineEdit() && event->type() == QEvent::MouseButtonPress) {
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            m_pressOpenedList = true;
            showPopup();
        }
        return true;
    }
    if (watched == lineEdit() && event->type() == QEvent::MouseButtonRelease)
        m_pressOpenedList = false;
    // The open list receives that press's release, outside itself, and would close
    // at once: the release ends the click that opened it and is dropped.
    if (watched == m_popup) {
        if (event->type() == QEvent::MouseButtonRelease && m_pressOpenedList) {
            m_pressOpenedList = false;
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::Hide)
            m_pressOpenedList = false;
        return false;
    }
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (!key->text().isEmpty() && key->text().at(0).isPrint())
            return true;
    }
    return QComboBox::eventFilter(watched, event);
}

void showListText(QComboBox *list, const QString &text)
{
    const int entry = list->findText(text);
    if (entry >= 0)
        list->setCurrentIndex(entry);
    else
        list->setEditText(text);
}

CommsPage::CommsPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("CommsPic"));
    stylePage(this);
    setFont(courierFont(kPagePoints));

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);

    auto *portLabel = new QLabel(QStringLiteral("Comm Port"), this);
    portLabel->setObjectName(QStringLiteral("Label11"));
    m_port = new ChoiceList(this);
    m_port->setObjectName(QStringLiteral("Combo1"));
    auto *baudLabel = new QLabel(QStringLiteral("Baud Rate"), this);
    baudLabel->setObjectName(QStringLiteral("Label15"));
    m_baud = new ChoiceList(this);
    m_baud->setObjectName(QStringLiteral("Combo2"));
    m_device = new QLabel(this);
    m_device->setObjectName(QStringLiteral("PortDevice"));
    m_device->setWordWrap(true);
    m_device->setTextInteractionFlags(Qt::TextSelectableByMouse);

    grid->addWidget(portLabel, 0, 0);
    grid->addWidget(m_port, 0, 1);
    grid->addWidget(m_device, 1, 1);
    grid->addWidget(baudLabel, 2, 0);
    grid->addWidget(m_baud, 2, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
    portLabel->setBuddy(m_port);
    baudLabel->setBuddy(m_baud);
    setTabOrder(m_port, m_baud);

    connect(m_port, &ChoiceList::popupAboutToShow, this, &CommsPage::refreshDevice);
    connect(m_port, &QComboBox::editTextChanged, this, &CommsPage::refreshDevice);
}

void CommsPage::refreshDevice()
{
    bool isNumber = false;
    const int number = m_port->currentText().trimmed().toInt(&isNumber);
    m_device->setText(QStringLiteral("Device: %1")
                          .arg(isNumber ? describePort(number) : QStringLiteral("no device")));
}

void CommsPage::showEvent(QShowEvent *event)
{
    refreshDevice();
    QWidget::showEvent(event);
}

} // namespace korva
