#pragma once

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// A private PostgreSQL server in a temporary folder, for tests and the
// benchmark: initdb and pg_ctl from /usr/lib/postgresql/*/bin, run as an
// unprivileged user when this process is root (the server refuses root), with
// trust authentication and a Unix socket in that folder only, so no system
// service is touched. The destructor stops it and removes the folder.
//
//     PgServer server;
//     QVERIFY2(server.isRunning(), qPrintable(server.error()));
//     const QString spec = server.createDatabase("ledger_a"); // a --ledger URL
//     QVERIFY2(!spec.isEmpty(), qPrintable(server.error()));
class PgServer
{
public:
    static constexpr const char *kUser = "korva";
    static constexpr int kPort = 5432;

    // `durable`: the server's own fsync settings; otherwise writes are not
    // forced to the disk, which tests do not need.
    explicit PgServer(bool durable = false)
    {
        m_bin = binFolder();
        if (m_bin.isEmpty()) {
            m_error = QStringLiteral("no PostgreSQL server under /usr/lib/postgresql/*/bin "
                                     "(make deps installs the package postgresql)");
            return;
        }
        if (!m_folder.isValid() || !handOver()) {
            m_error =
                QStringLiteral("cannot prepare the folder %1 for the server").arg(m_folder.path());
            return;
        }
        const QString data = m_folder.filePath(QStringLiteral("data"));
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), data, QStringLiteral("-U"), QString::fromLatin1(kUser),
                  QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"),
                  QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                  QStringLiteral("--no-sync")},
                 true))
            return;
        QString options =
            QStringLiteral("-k '%1' -p %2 -c listen_addresses=''").arg(m_folder.path()).arg(kPort);
        if (!durable)
            options += QStringLiteral(" -c fsync=off -c synchronous_commit=off");
        m_started = run(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), data, QStringLiteral("-l"),
                         m_folder.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
                         QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"), options,
                         QStringLiteral("start")},
                        true);
    }

    ~PgServer() { stop(); }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    bool isRunning() const { return m_started; }
    QString error() const { return m_error; }
    QString socketFolder() const { return m_folder.path(); }

    QString spec(const QString &database) const
    {
        return QStringLiteral("postgresql://%1@/%2?host=%3&port=%4")
            .arg(QString::fromLatin1(kUser), database, m_folder.path())
            .arg(kPort);
    }

    // Creates an empty database; its --ledger URL, or empty (see error()).
    QString createDatabase(const QString &name)
    {
        if (!m_started)
            return {};
        const bool made =
            run(QStringLiteral("createdb"),
                {QStringLiteral("-h"), m_folder.path(), QStringLiteral("-p"),
                 QString::number(kPort), QStringLiteral("-U"), QString::fromLatin1(kUser), name},
                false);
        return made ? spec(name) : QString();
    }

    // Runs one SQL command in a database with psql; false with error() set on failure.
    bool sql(const QString &database, const QString &command)
    {
        return run(QStringLiteral("psql"),
                   {QStringLiteral("-h"), m_folder.path(), QStringLiteral("-p"),
                    QString::number(kPort), QStringLiteral("-U"), QString::fromLatin1(kUser),
                    QStringLiteral("-d"), database, QStringLiteral("-v"),
                    QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-c"), command},
                   false);
    }

    void stop()
    {
        if (!m_started)
            return;
        m_started = false;
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_folder.filePath(QStringLiteral("data")), QStringLiteral("-m"),
             QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")},
            true);
    }

private:
    // The newest installed server's programs, else whatever PATH has.
    static QString binFolder()
    {
        QDir versions(QStringLiteral("/usr/lib/postgresql"));
        const QStringList found =
            versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString &version : found) {
            const QString bin = versions.filePath(version + QStringLiteral("/bin"));
            if (QFile::exists(bin + QStringLiteral("/initdb")))
                return bin;
        }
        const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
    }

    // As root, the folder goes to the user "postgres" (else "nobody"), who runs
    // the server. Anyone may reach the socket in it.
    bool handOver()
    {
        if (::chmod(QFile::encodeName(m_folder.path()).constData(), 0755) != 0)
            return false;
        if (::geteuid() != 0)
            return true;
        const passwd *user = ::getpwnam("postgres");
        if (!user)
            user = ::getpwnam("nobody");
        if (!user)
            return false;
        m_uid = user->pw_uid;
        m_gid = user->pw_gid;
        return ::chown(QFile::encodeName(m_folder.path()).constData(), m_uid, m_gid) == 0;
    }

    bool run(const QString &program, const QStringList &arguments, bool asServer)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(m_folder.path());
        const QString path = m_bin + u'/' + program;
        if (asServer && ::geteuid() == 0) {
            process.setProgram(QStringLiteral("setpriv"));
            process.setArguments(QStringList{QStringLiteral("--reuid=%1").arg(m_uid),
                                             QStringLiteral("--regid=%1").arg(m_gid),
                                             QStringLiteral("--clear-groups"), QStringLiteral("--"),
                                             path} +
                                 arguments);
        } else {
            process.setProgram(path);
            process.setArguments(arguments);
        }
        process.start();
        const bool finished = process.waitForFinished(120000);
        if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        if (!finished)
            process.kill();
        const QString why = process.error() == QProcess::FailedToStart
                                ? process.errorString()
                                : QStringLiteral("exit code %1").arg(process.exitCode());
        m_error = QStringLiteral("%1 failed (%2):\n%3")
                      .arg(program, why, QString::fromLocal8Bit(process.readAll()).trimmed());
        QFile log(m_folder.filePath(QStringLiteral("server.log")));
        if (log.open(QIODevice::ReadOnly))
            m_error += QStringLiteral("\nserver log:\n") + QString::fromLocal8Bit(log.readAll());
        return false;
    }

    QTemporaryDir m_folder{QDir::tempPath() + QStringLiteral("/korva-pg-XXXXXX")};
    QString m_bin;
    QString m_error;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_started = false;
};
