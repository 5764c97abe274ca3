#pragma once

#include "production/ledgerlocation.h"

#include <QGroupBox>
#include <QThread>
#include <QTimer>

class QLabel;

namespace korva::station
{

// Opens a ledger on a thread of its own, so that a server that does not
// answer never holds up the window, and tells whether it could.
class LedgerProbe : public QObject
{
    Q_OBJECT
public:
    void probe(const production::LedgerLocation &where);
signals:
    // `which` is where.display(), so that an answer about a ledger no longer
    // shown is left aside.
    void probed(const QString &which, bool reachable, const QString &detail);
    // The local journal's records of that ledger it may still lack.
    void journalCounted(const QString &which, int pending);
};

// The ledger's health: which ledger, whether it can be reached (looked at
// every 15 s and after every run), and how many records of the local journal
// it still lacks.
class LedgerHealth : public QGroupBox
{
    Q_OBJECT
public:
    explicit LedgerHealth(QWidget *parent = nullptr);
    ~LedgerHealth() override;

    void setLedger(const production::LedgerLocation &where);
    QString reachability() const;
    QString journalText() const;

public slots:
    // Looks at the ledger now.
    void check();
    // A run could not write to the ledger: it is shown unreachable at once.
    void showFailure(const QString &detail);
    // The journal's records the ledger still lacks, as the journal counts
    // them; -1 while that count is not known (shown as "unknown").
    void setJournalRecordsMissing(int count);

private:
    void showProbe(const QString &which, bool reachable, const QString &detail);
    void showJournal(const QString &which, int pending);

    production::LedgerLocation m_where;
    bool m_known = false;
    QLabel *m_which;
    QLabel *m_reachable;
    QLabel *m_journal;
    QThread m_thread;
    LedgerProbe *m_probe;
    QTimer m_every;
};

} // namespace korva::station
