#include "station/jobdialog.h"

#include "module/fields.h"
#include "production/fieldvalues.h"
#include "station/portpicker.h"
#include "station/stationoptions.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

namespace korva::station
{

namespace
{

enum AddressWay { Range, From, Profile };

QLineEdit *lineEdit(const QString &name, const QString &spoken)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setAccessibleName(spoken);
    return edit;
}

// A line edit with a button beside it that chooses a file for it.
QWidget *withBrowse(QLineEdit *edit, QWidget *dialog, const QString &spoken, bool save = false)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit);
    auto *browse = new QPushButton(QObject::tr("Choose…"));
    browse->setAccessibleName(spoken);
    layout->addWidget(browse);
    QObject::connect(browse, &QPushButton::clicked, dialog, [edit, dialog, save] {
        const QString path = save ? QFileDialog::getSaveFileName(dialog, QString(), edit->text())
                                  : QFileDialog::getOpenFileName(dialog, QString(), edit->text());
        if (!path.isEmpty())
            edit->setText(path);
    });
    return row;
}

} // namespace

JobDialog::JobDialog(QWidget *parent)
    : QDialog(parent), m_profile(lineEdit("jobProfile", tr("Profile file"))),
      m_checksum(new QLabel), m_fields(new QTreeWidget), m_addressWay(new QComboBox),
      m_addresses(lineEdit("jobAddresses", tr("Addresses"))),
      m_ledger(lineEdit("jobLedger", tr("Ledger: an SQLite file or a PostgreSQL URL"))),
      m_ports(new PortPicker), m_station(lineEdit("jobStation", tr("Station"))),
      m_operator(lineEdit("jobOperator", tr("Operator"))),
      m_order(lineEdit("jobOrder", tr("Order or lot"))), m_target(new QSpinBox), m_said(new QLabel),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel))
{
    setObjectName(QStringLiteral("jobDialog"));
    setWindowTitle(tr("Job"));
    m_checksum->setObjectName(QStringLiteral("jobChecksum"));
    m_checksum->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_fields->setObjectName(QStringLiteral("jobFields"));
    m_fields->setAccessibleName(tr("The profile's fields, read only"));
    m_fields->setHeaderLabels({tr("Field"), tr("Value")});
    m_fields->setRootIsDecorated(false);
    m_fields->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_fields->setMaximumHeight(190);
    m_addressWay->setObjectName(QStringLiteral("jobAddressWay"));
    m_addressWay->setAccessibleName(tr("Where the units' addresses come from"));
    m_addressWay->addItems({tr("a range of the ledger (FROM-TO)"), tr("from an address up (HEX8)"),
                            tr("each unit keeps the profile's address")});
    m_addresses->setPlaceholderText(QStringLiteral("00010000-0001FFFF"));
    m_ledger->setPlaceholderText(tr("the default file, %1").arg(production::defaultLedgerPath()));
    m_station->setPlaceholderText(tr("the host name"));
    m_operator->setPlaceholderText(tr("the login name"));
    m_target->setObjectName(QStringLiteral("jobTarget"));
    m_target->setAccessibleName(tr("Target: units to pass; 0 for open-ended"));
    m_target->setRange(0, 1000000000);
    m_target->setSpecialValueText(tr("open-ended"));
    m_said->setObjectName(QStringLiteral("jobSaid"));
    m_said->setWordWrap(true);
    m_buttons->setObjectName(QStringLiteral("jobButtons"));
    QPushButton *open = m_buttons->addButton(tr("&Open job…"), QDialogButtonBox::ActionRole);
    QPushButton *save = m_buttons->addButton(tr("&Save job as…"), QDialogButtonBox::ActionRole);
    open->setAccessibleName(tr("Open a job file"));
    save->setAccessibleName(tr("Save the job to a file"));
    m_buttons->button(QDialogButtonBox::Ok)->setAccessibleName(tr("Use this job"));
    m_buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(tr("Keep the job as it was"));

    auto *form = new QFormLayout(this);
    form->addRow(tr("&Profile:"), withBrowse(m_profile, this, tr("Choose the profile file")));
    form->addRow(tr("SHA-256:"), m_checksum);
    form->addRow(tr("Fields:"), m_fields);
    form->addRow(tr("&Addresses:"), m_addressWay);
    form->addRow(QString(), m_addresses);
    form->addRow(tr("&Ledger:"), withBrowse(m_ledger, this, tr("Choose the ledger file"), true));
    form->addRow(tr("S&lots:"), m_ports);
    form->addRow(tr("S&tation:"), m_station);
    form->addRow(tr("&Operator:"), m_operator);
    form->addRow(tr("O&rder or lot:"), m_order);
    form->addRow(tr("&Target:"), m_target);
    form->addRow(m_said);
    form->addRow(m_buttons);

    connect(m_profile, &QLineEdit::editingFinished, this, &JobDialog::showProfile);
    connect(m_profile, &QLineEdit::textChanged, this, &JobDialog::showProfile);
    connect(m_addressWay, &QComboBox::currentIndexChanged, this, &JobDialog::showAddressWay);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &JobDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &JobDialog::reject);
    connect(open, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Open a job"), m_file,
                                                          tr("Jobs (*.json);;All files (*)"));
        if (!path.isEmpty())
            openFile(path);
    });
    connect(save, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save the job"), m_file,
                                                          tr("Jobs (*.json);;All files (*)"));
        if (!path.isEmpty())
            saveFile(path);
    });
    resize(760, 700);
}

void JobDialog::setJob(const production::Job &job, const QString &file)
{
    m_file = file;
    m_hidden = job;
    m_profile->setText(job.profile);
    const AddressWay way = job.keepProfileAddress            ? Profile
                           : !job.localAddressFrom.isEmpty() ? From
                                                             : Range;
    m_addressWay->setCurrentIndex(way);
    m_addresses->setText(way == From     ? job.localAddressFrom
                         : job.addresses ? job.addresses->text()
                                         : QString());
    m_ledger->setText(job.ledger);
    m_ports->setPorts(job.ports);
    m_station->setText(job.station);
    m_operator->setText(job.operatorName);
    m_order->setText(job.order);
    m_target->setValue(job.target);
    showAddressWay();
    showProfile();
}

production::Job JobDialog::job() const
{
    production::Job job = m_hidden;
    job.profile = m_profile->text().trimmed();
    job.addresses.reset();
    job.localAddressFrom.clear();
    job.keepProfileAddress = m_addressWay->currentIndex() == Profile;
    const QString addresses = m_addresses->text().trimmed();
    if (m_addressWay->currentIndex() == From)
        job.localAddressFrom = addresses;
    else if (m_addressWay->currentIndex() == Range && !addresses.isEmpty())
        job.addresses = production::parseAddressRange(addresses);
    job.ledger = m_ledger->text().trimmed();
    job.ports = m_ports->ports();
    job.station = m_station->text().trimmed();
    job.operatorName = m_operator->text().trimmed();
    job.order = m_order->text().trimmed();
    job.target = m_target->value();
    return job;
}

QString JobDialog::refusal() const
{
    if (m_addressWay->currentIndex() == Range && !m_addresses->text().trimmed().isEmpty() &&
        !production::parseAddressRange(m_addresses->text().trimmed()))
        return tr("the addresses need FROM-TO, 8 hex digits each, FROM not above TO");
    return production::prepareJob(job(), stationVersionText()).refusal;
}

bool JobDialog::openFile(const QString &path)
{
    const auto loaded = production::loadJob(path);
    if (const auto *refused = std::get_if<QString>(&loaded)) {
        say(*refused, true);
        return false;
    }
    setJob(std::get<production::Job>(loaded), path);
    say(tr("Opened %1").arg(path), false);
    return true;
}

bool JobDialog::saveFile(const QString &path)
{
    if (const QString failed = production::saveJob(job(), path); !failed.isEmpty()) {
        say(failed, true);
        return false;
    }
    m_file = path;
    say(tr("Saved to %1").arg(path), false);
    return true;
}

void JobDialog::accept()
{
    if (const QString refused = refusal(); !refused.isEmpty()) {
        say(refused, true);
        return;
    }
    QDialog::accept();
}

void JobDialog::showProfile()
{
    m_fields->clear();
    m_checksum->clear();
    const QString path = m_profile->text().trimmed();
    if (path.isEmpty())
        return;
    const production::RunValues values = production::gatherValues(
        {path, {}, m_hidden.band.isEmpty() ? "433Mhz" : m_hidden.band, !m_hidden.band.isEmpty()});
    if (!values.profile.isEmpty())
        m_checksum->setText(QString::fromLatin1(
            QCryptographicHash::hash(values.profile, QCryptographicHash::Sha256).toHex()));
    if (!values.error.isEmpty()) {
        say(values.error, true);
        return;
    }
    const ConfigTexts shown = production::canonicalTexts(values.changes, values.band);
    new QTreeWidgetItem(m_fields, {QStringLiteral("band"), values.band});
    for (const auto &[field, text] : values.changes.fields)
        new QTreeWidgetItem(m_fields, {fieldKey(field), fieldText(shown, field)});
    say(values.notes.join(u'\n'), false);
}

void JobDialog::showAddressWay()
{
    const int way = m_addressWay->currentIndex();
    m_addresses->setEnabled(way != Profile);
    m_addresses->setPlaceholderText(way == From ? QStringLiteral("00010000")
                                                : QStringLiteral("00010000-0001FFFF"));
}

void JobDialog::say(const QString &text, bool trouble)
{
    m_said->setText(text);
    QPalette shown = palette();
    if (trouble)
        shown.setColor(QPalette::WindowText, QColor(0xc0, 0x20, 0x20));
    m_said->setPalette(shown);
}

} // namespace korva::station
