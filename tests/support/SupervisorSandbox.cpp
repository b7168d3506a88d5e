#include "SupervisorSandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>

namespace {
QString uniquePattern() {
    return QStringLiteral("halvane-sandbox-") + QUuid::createUuid().toString(QUuid::Id128);
}
} // namespace

SupervisorSandbox::SupervisorSandbox(const QString& installSubdir)
    : dir_(QDir::tempPath() + QLatin1Char('/') + uniquePattern() + QStringLiteral("-XXXXXX")) {
    options.sweepPattern = QFileInfo(dir_.path()).fileName();
    options.installDir = dir_.path() + QLatin1Char('/') + installSubdir;
    options.stateDir = dir_.path() + QStringLiteral("/state");
    options.logDir = dir_.path() + QStringLiteral("/log");
    // Nothing listens on the discard port: a download fails at once unless a test serves one.
    options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:9/static/cli"));
    QDir().mkpath(options.installDir);
}

SupervisorSandbox::~SupervisorSandbox() {
    resetManager();
}

QString SupervisorSandbox::cliPath() const {
    return options.installDir + QStringLiteral("/vantrel");
}

VantrelManager& SupervisorSandbox::manager() {
    if (!manager_)
        manager_ = std::make_unique<VantrelManager>(options);
    return *manager_;
}

void SupervisorSandbox::resetManager() {
    if (manager_)
        manager_->cleanup();
    manager_.reset();
}

QString SupervisorSandbox::writeScript(const QString& name, const QByteArray& body,
                                       bool executable) const {
    const QString target = QDir(dir_.path()).absoluteFilePath(name);
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(target));
    file.write(body.startsWith("#!") ? body : "#!/bin/bash\n" + body + '\n');
    file.close();
    auto permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    file.setPermissions(permissions);
    return target;
}

void SupervisorSandbox::writeCli(const QByteArray& body, bool executable) const {
    writeScript(cliPath(), body, executable);
}

QString SupervisorSandbox::logText() const {
    const QString base = options.logDir + QLatin1Char('/') + options.logFileName;
    QByteArray all;
    for (int i = options.logKeepFiles; i >= 0; --i) {
        QFile file(i == 0 ? base : base + QLatin1Char('.') + QString::number(i));
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return QString::fromUtf8(all);
}

QList<pid_t> SupervisorSandbox::processes() const {
    QProcess pgrep;
    pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-f"), options.sweepPattern});
    pgrep.waitForFinished();
    QList<pid_t> pids;
    for (const QByteArray& line : pgrep.readAll().split('\n'))
        if (const int pid = line.trimmed().toInt())
            pids.append(pid);
    return pids;
}
