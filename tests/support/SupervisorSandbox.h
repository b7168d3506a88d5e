#pragma once

#include "Environment.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"
#include "process/ProcessGroup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Supervisor options that point into a fresh temporary folder, and the supervisor built from
// them. The sweep is narrowed to the folder, so it ends no CLI but the sandbox's own.
class SupervisorSandbox {
public:
    // installSubdir: the install folder below the sandbox, for paths that need quoting.
    explicit SupervisorSandbox(const QString& installSubdir = QStringLiteral("bin"))
        : options(SupervisorOptions::forUser(Environment::fromProcess())) {
        // As the application does in main: what a CLI detaches stays reachable.
        ProcessGroup::becomeSubreaper();
        options.sweepRoot = path();
        options.installDir = path() + QLatin1Char('/') + installSubdir;
        options.stateDir = path() + QStringLiteral("/state");
        options.logDir = path() + QStringLiteral("/log");
        // A download fails at once unless a test serves one.
        options.baseURL = QUrl(closedBaseUrl());
        QDir().mkpath(options.installDir);
    }
    ~SupervisorSandbox() { resetManager(); }

    QString path() const { return dir_.path(); }
    QString cliPath() const { return options.cliPath(); }

    // Built from options on first use; change options before that.
    VantrelManager& manager() {
        if (!manager_)
            manager_ = std::make_unique<VantrelManager>(options);
        return *manager_;
    }
    // Stops the CLI, waits for the stop's report, and destroys the supervisor, so the next
    // manager() starts afresh.
    void resetManager() {
        if (manager_) {
            QSignalSpy done(manager_.get(), &VantrelManager::cleanupFinished);
            manager_->cleanup();
            done.wait(manager_->options().stopTimeoutMs + 2000);
        }
        manager_.reset();
    }

    // Turns the event loop until everything written so far is in the log file and the tail
    // has taken all that waited; false if that took longer than timeoutMs.
    static bool settled(VantrelManager& m, int timeoutMs = 30000) {
        QObject context; // a late report, after a time-out, goes nowhere
        bool written = false;
        m.whenLogWritten(&context, [&written] { written = true; });
        return QTest::qWaitFor([&] { return written && !m.outputLog().hasPending(); }, timeoutMs);
    }
    // The log file's bytes, rotated files not included.
    QByteArray logBytes() const { return readFile(options.logDir + u'/' + options.logFileName); }

    // Writes a script (name relative to path()) and returns its path. A body without "#!" runs
    // under bash.
    QString writeScript(const QString& name, const QByteArray& body, bool executable = true) const {
        QFile file(QDir(path()).absoluteFilePath(name));
        QDir().mkpath(QFileInfo(file).path());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(file.fileName()));
        file.write(body.startsWith("#!") ? body : "#!/bin/bash\n" + body + '\n');
        file.close();
        file.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                       : QFile::ReadOwner | QFile::WriteOwner);
        return file.fileName();
    }
    // The fake CLI.
    void writeCli(const QByteArray& body, bool executable = true) const {
        writeScript(cliPath(), body, executable);
    }
    // Running processes whose command line names the sandbox's folder.
    QList<pid_t> processes() const {
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-f"), path()});
        pgrep.waitForFinished();
        return VantrelManager::parsePgrepOutput(QString::fromUtf8(pgrep.readAll()));
    }
    // Everything the log file received, rotated files included, oldest first.
    QString logText() const {
        const QString base = options.logDir + QLatin1Char('/') + options.logFileName;
        QByteArray all;
        for (int i = options.logKeepFiles; i >= 0; --i) {
            QFile file(i == 0 ? base : base + QLatin1Char('.') + QString::number(i));
            if (file.open(QIODevice::ReadOnly))
                all += file.readAll();
        }
        return QString::fromUtf8(all);
    }

    SupervisorOptions options;

private:
    QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/halvane-sandbox-XXXXXX")};
    std::unique_ptr<VantrelManager> manager_;
};
