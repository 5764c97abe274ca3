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
//     const QString url = server.createDatabase("ledger_a"); // a --ledger URL
//     QVERIFY2(!url.isEmpty(), qPrintable(server.error()));  // never skipped
class PgServer
{
public:
    // `durable`: the server's own fsync settings; otherwise writes are not
    // forced to the disk, which tests do not need.
    explicit PgServer(bool durable = false)
    {
        m_bin = binFolder();
        if (m_bin.isEmpty()) {
            m_error = "no PostgreSQL server under /usr/lib/postgresql/*/bin "
                      "(make deps installs the package postgresql)";
            return;
        }
        if (!m_folder.isValid() || !handOver()) {
            m_error = "cannot prepare the folder " + m_folder.path() + " for the server";
            return;
        }
        const QString data = m_folder.filePath("data");
        if (!run("initdb",
                 {"-D", data, "-U", kUser, "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                 true))
            return;
        m_options = QString("-k '%1' -p %2 -c listen_addresses=''").arg(folder()).arg(kPort);
        if (!durable)
            m_options += " -c fsync=off -c synchronous_commit=off";
        start();
    }

    // Starts the server (again); false with error() set when it did not start.
    bool start()
    {
        m_running = run("pg_ctl",
                        {"-D", m_folder.filePath("data"), "-l", m_folder.filePath("server.log"),
                         "-w", "-t", "60", "-o", m_options, "start"},
                        true);
        return m_running;
    }

    // Stops the server as pg_ctl -m MODE does ("fast", "immediate").
    bool stop(const QString &mode)
    {
        m_running =
            !run("pg_ctl", {"-D", m_folder.filePath("data"), "-m", mode, "-w", "stop"}, true);
        return !m_running;
    }

    ~PgServer()
    {
        if (m_running)
            run("pg_ctl", {"-D", m_folder.filePath("data"), "-m", "immediate", "-w", "stop"}, true);
    }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    bool isRunning() const { return m_running; }
    // The server's main process, which accepts each new connection; 0 when not running.
    qint64 mainProcess() const
    {
        QFile pidFile(m_folder.filePath("data/postmaster.pid"));
        return m_running && pidFile.open(QIODevice::ReadOnly)
                   ? pidFile.readLine().trimmed().toLongLong()
                   : 0;
    }
    QString error() const { return m_error; } // why the last step failed, with the server's log

    QString url(const QString &database) const
    {
        return QString("postgresql://%1@/%2?host=%3&port=%4")
            .arg(kUser, database, folder())
            .arg(kPort);
    }

    // Creates an empty database; its --ledger URL, or empty (see error()).
    QString createDatabase(const QString &name)
    {
        const bool made = m_running && run("createdb", client() << name, false);
        return made ? url(name) : QString();
    }

    // Runs one SQL command in a database with psql; false with error() set on failure.
    bool sql(const QString &database, const QString &command)
    {
        return run("psql",
                   client() + QStringList{"-d", database, "-v", "ON_ERROR_STOP=1", "-c", command},
                   false);
    }

    // The first column of the first row a query returns, or empty (see error()).
    QString value(const QString &database, const QString &query)
    {
        m_output.clear();
        run("psql", client() + QStringList{"-d", database, "-At", "-c", query}, false);
        return m_output.trimmed();
    }

private:
    static constexpr const char *kUser = "korva";
    static constexpr int kPort = 5432;

    QString folder() const { return m_folder.path(); }
    QStringList client() const
    {
        return {"-h", folder(), "-p", QString::number(kPort), "-U", kUser};
    }

    // The newest installed server's programs, else whatever PATH has.
    static QString binFolder()
    {
        const QDir versions("/usr/lib/postgresql");
        for (const QString &version :
             versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed))
            if (QFile::exists(versions.filePath(version + "/bin/initdb")))
                return versions.filePath(version + "/bin");
        const QString initdb = QStandardPaths::findExecutable("initdb");
        return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
    }

    // As root, the folder goes to the user "postgres" (else "nobody"), who runs
    // the server. Anyone may reach the socket in it.
    bool handOver()
    {
        const QByteArray path = QFile::encodeName(folder());
        if (::chmod(path.constData(), 0755) != 0)
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
        return ::chown(path.constData(), m_uid, m_gid) == 0;
    }

    bool run(const QString &program, const QStringList &arguments, bool asServer)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(folder());
        if (asServer && ::geteuid() == 0)
            process.start("setpriv", QStringList{QString("--reuid=%1").arg(m_uid),
                                                 QString("--regid=%1").arg(m_gid), "--clear-groups",
                                                 "--", m_bin + '/' + program} +
                                         arguments);
        else
            process.start(m_bin + '/' + program, arguments);
        const bool finished = process.waitForFinished(120000);
        if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
            m_output = QString::fromLocal8Bit(process.readAll());
            return true;
        }
        if (!finished)
            process.kill();
        m_error = QString("%1 failed (%2):\n%3")
                      .arg(program,
                           process.error() == QProcess::FailedToStart
                               ? process.errorString()
                               : QString("exit code %1").arg(process.exitCode()),
                           QString::fromLocal8Bit(process.readAll()).trimmed());
        QFile log(m_folder.filePath("server.log"));
        if (log.open(QIODevice::ReadOnly))
            m_error += "\nserver log:\n" + QString::fromLocal8Bit(log.readAll());
        return false;
    }

    QTemporaryDir m_folder{QDir::tempPath() + "/korva-pg-XXXXXX"};
    QString m_bin;
    QString m_options;
    QString m_output;
    QString m_error;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_running = false;
};
