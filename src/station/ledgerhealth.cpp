#include "station/ledgerhealth.h"

#include "production/journal.h"
#include "production/journalsync.h"
#include "production/ledger.h"

#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>

namespace korva::station
{

namespace
{

constexpr int kCheckPeriodMs = 15000;

} // namespace

void LedgerProbe::probe(const production::LedgerLocation &where)
{
    const QString which = where.display();
    emit journalCounted(
        which, production::pendingJournalRecords(production::Journal::defaultFolder(), where));
    if (where.kind == production::LedgerLocation::Kind::Sqlite && !QFileInfo::exists(where.path)) {
        emit probed(which, true, tr("no file yet: the first run makes it"));
        return;
    }
    auto opened = production::Ledger::open(where, production::Ledger::OpenMode::MustExist);
    if (const auto *refused = std::get_if<QString>(&opened))
        emit probed(which, false, *refused);
    else
        emit probed(which, true, QString());
}

LedgerHealth::LedgerHealth(QWidget *parent)
    : QGroupBox(tr("Ledger"), parent), m_which(new QLabel), m_reachable(new QLabel),
      m_journal(new QLabel), m_probe(new LedgerProbe)
{
    auto *form = new QFormLayout(this);
    for (QLabel *label : {m_which, m_reachable, m_journal}) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    m_which->setObjectName(QStringLiteral("ledgerWhich"));
    m_reachable->setObjectName(QStringLiteral("ledgerReachable"));
    m_journal->setObjectName(QStringLiteral("journalMissing"));
    form->addRow(tr("Ledger:"), m_which);
    form->addRow(tr("State:"), m_reachable);
    form->addRow(tr("Journal records it lacks:"), m_journal);
    m_which->setAccessibleName(tr("Which ledger"));
    m_reachable->setAccessibleName(tr("Ledger reachable"));
    m_journal->setAccessibleName(tr("Journal records the ledger lacks"));
    m_which->setText(tr("none chosen"));
    setJournalRecordsMissing(-1);

    m_probe->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_probe, &QObject::deleteLater);
    connect(m_probe, &LedgerProbe::probed, this, &LedgerHealth::showProbe);
    connect(m_probe, &LedgerProbe::journalCounted, this, &LedgerHealth::showJournal);
    m_thread.setObjectName(QStringLiteral("ledger health"));
    m_thread.start();
    m_every.setInterval(kCheckPeriodMs);
    connect(&m_every, &QTimer::timeout, this, &LedgerHealth::check);
    m_every.start();
}

LedgerHealth::~LedgerHealth()
{
    m_thread.quit();
    m_thread.wait();
}

void LedgerHealth::setLedger(const production::LedgerLocation &where)
{
    m_where = where;
    m_known = true;
    m_which->setText(where.display());
    m_reachable->setText(tr("looking…"));
    check();
}

QString LedgerHealth::reachability() const
{
    return m_reachable->text();
}

QString LedgerHealth::journalText() const
{
    return m_journal->text();
}

void LedgerHealth::check()
{
    if (!m_known)
        return;
    QMetaObject::invokeMethod(
        m_probe, [probe = m_probe, where = m_where] { probe->probe(where); }, Qt::QueuedConnection);
}

void LedgerHealth::showFailure(const QString &detail)
{
    showProbe(m_where.display(), false, detail);
}

void LedgerHealth::setJournalRecordsMissing(int count)
{
    m_journal->setText(count < 0 ? tr("unknown") : QString::number(count));
}

void LedgerHealth::showJournal(const QString &which, int pending)
{
    if (which == m_where.display())
        setJournalRecordsMissing(pending);
}

void LedgerHealth::showProbe(const QString &which, bool reachable, const QString &detail)
{
    if (which != m_where.display())
        return;
    const QString text = reachable ? tr("reachable") : tr("NOT REACHABLE");
    m_reachable->setText(detail.isEmpty() ? text : text + QStringLiteral(": ") + detail);
    QPalette shown = palette();
    if (!reachable)
        shown.setColor(QPalette::WindowText, QColor(0xc0, 0x20, 0x20));
    m_reachable->setPalette(shown);
}

} // namespace korva::station
