#pragma once

#include "production/job.h"

#include <QDialog>

class QComboBox;
class QDialogButtonBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTreeWidget;

namespace korva::station
{

class PortPicker;

// The job, chosen once before a run: the profile (its file, its SHA-256 and
// its fields, read only), the addresses, the ledger, the slots, the names
// recorded and the target. Like a settings dialog it only hands back a plain
// Job; it is accepted only when the job would start, and says why not
// otherwise. Jobs are opened from and saved to job files here too.
class JobDialog : public QDialog
{
    Q_OBJECT
public:
    explicit JobDialog(QWidget *parent = nullptr);

    void setJob(const production::Job &job, const QString &file);
    production::Job job() const;
    QString file() const { return m_file; }
    // Why the job as it stands cannot start, or empty.
    QString refusal() const;

    // Opens and saves job files (the dialogs of the two buttons).
    bool openFile(const QString &path);
    bool saveFile(const QString &path);

public slots:
    void accept() override;

private:
    void showProfile();
    void showAddressWay();
    void say(const QString &text, bool trouble);

    QString m_file;
    production::Job m_hidden; // the fields the dialog has no control for
    QLineEdit *m_profile;
    QLabel *m_checksum;
    QTreeWidget *m_fields;
    QComboBox *m_addressWay;
    QLineEdit *m_addresses;
    QLineEdit *m_ledger;
    PortPicker *m_ports;
    QLineEdit *m_station;
    QLineEdit *m_operator;
    QLineEdit *m_order;
    QSpinBox *m_target;
    QLabel *m_said;
    QDialogButtonBox *m_buttons;
};

} // namespace korva::station
