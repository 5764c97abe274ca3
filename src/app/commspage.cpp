#include "app/commspage.h"

#include "app/appearance.h"
#include "serial/systemportscan.h"

#include <QAbstractItemView>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>

#include <utility>

namespace korva
{

namespace
{

constexpr qreal kPagePoints = 9.75;
// How often the shown page looks again for adapters plugged in or pulled.
constexpr int kLookIntervalMs = 1000;

bool isOpeningKey(const QKeyEvent *key)
{
    return (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
           (key->key() == Qt::Key_Space || key->key() == Qt::Key_Return ||
            key->key() == Qt::Key_Enter);
}

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
        // Space and Enter open the list, as they press a button; the list's own
        // keys (arrows, Enter) then choose.
        if (isOpeningKey(key)) {
            showPopup();
            return true;
        }
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
    for (const auto &[label, list] : {std::pair{portLabel, m_port}, std::pair{baudLabel, m_baud}}) {
        label->setBuddy(list);
        list->setAccessibleName(label->text());
        list->lineEdit()->setAccessibleName(label->text());
    }
    setTabOrder(m_port, m_baud);

    m_scan = new SystemPortScan(this);
    m_look = new QTimer(this);
    m_look->setInterval(kLookIntervalMs);
    connect(m_scan, &SystemPortScan::finished, this, &CommsPage::onScanned);
    connect(m_look, &QTimer::timeout, m_scan, &SystemPortScan::start);
    connect(m_port, &ChoiceList::popupAboutToShow, m_scan, &SystemPortScan::start);
    connect(m_port, &QComboBox::editTextChanged, this, &CommsPage::refreshDevice);
    // The first scan runs as soon as events run (while the window's load pauses),
    // so the line is ready when the page is first shown.
    QTimer::singleShot(0, m_scan, &SystemPortScan::start);
}

void CommsPage::onScanned(const QList<SystemPort> &scanned)
{
    m_scanned = scanned;
    refreshDevice();
}

void CommsPage::refreshDevice()
{
    bool isNumber = false;
    const int number = m_port->currentText().trimmed().toInt(&isNumber);
    QString device;
    if (!isNumber)
        device = QStringLiteral("no device");
    else if (m_scanned)
        device = describePort(number, *m_scanned);
    else
        device = QStringLiteral("looking for the system's serial ports");
    const QString text = QStringLiteral("Device: %1").arg(device);
    if (m_device->text() == text)
        return;
    m_device->setText(text);
    // A screen reader reads the device with the list, as a sighted user sees it beside it.
    m_port->setAccessibleDescription(text);
    m_port->lineEdit()->setAccessibleDescription(text);
}

void CommsPage::showEvent(QShowEvent *event)
{
    refreshDevice();
    m_scan->start();
    m_look->start();
    QWidget::showEvent(event);
}

void CommsPage::hideEvent(QHideEvent *event)
{
    m_look->stop();
    QWidget::hideEvent(event);
}

} // namespace korva
