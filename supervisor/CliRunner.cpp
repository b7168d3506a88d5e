#include "CliProcess.h"
#include "Console.h"
#include "ProcessGroup.h"
#include "VantrelManager.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>

namespace {
// The shell gets the path as its whole command string, so it must be one quoted word:
// a home folder with a space or a quote must neither break the start nor run anything else.
QString shellQuoted(const QString& path) {
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QProcessEnvironment colourEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    environment.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR_FORCE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TERM_PROGRAM"), QStringLiteral("Vantrel Mac"));
    environment.remove(QStringLiteral("NO_COLOR"));
    environment.remove(QStringLiteral("ANSI_COLORS_DISABLED"));
    return environment;
}
} // namespace

void VantrelManager::runCLI() {
    const QString path = cliPath();
    const QFileInfo file(path);
    if (!file.isFile() || !file.isExecutable()) {
        say(QStringLiteral("❌ CLI not found or not executable at ") + path + QLatin1Char('\n'));
        return;
    }
    if (CliProcess* previous = currentProcess_) {
        previous->requestStop();
        // The new CLI does not wait for the old one, but the old one must not linger.
        const pid_t group = previous->groupId();
        QTimer::singleShot(options_.stopTimeoutMs, this, [group] {
            if (ProcessGroup::hasLiveMembers(group))
                ProcessGroup::signal(group, SIGKILL);
        });
    }
    runCLIInShell(QStringLiteral("zsh"));
}

void VantrelManager::runCLIInShell(const QString& shell) {
    const bool zsh = shell == QLatin1String("zsh");
    auto* process = new CliProcess(shell, this);
    process->setProgram(zsh ? options_.zshPath : options_.bashPath);
    process->setArguments(
        {QStringLiteral("-l"), QStringLiteral("-i"), QStringLiteral("-c"), shellQuoted(cliPath())});
    process->setProcessEnvironment(colourEnvironment());
    say(QStringLiteral("▶️ Starting vantrel CLI in ") + shell +
        QStringLiteral(" with color support...\n"));
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process] { readOutput(process); });
    connect(process, &QProcess::finished, this, [this, process] {
        readOutput(process);
        const QString rest = process->decodeEnd();
        if (!rest.isEmpty())
            say(rest);
        // The exit step runs on a later turn, as with any other main-queue work, so a
        // cleanup that is waiting for this process always finishes first.
        QMetaObject::invokeMethod(
            this, [this, guarded = QPointer<CliProcess>(process)] { onProcessFinished(guarded); },
            Qt::QueuedConnection);
    });

    process->start();
    if (!process->waitForStarted(-1)) {
        const QString error = process->errorString();
        process->deleteLater();
        if (zsh) {
            say(QStringLiteral("⚠️ Failed to start in zsh, trying bash: ") + error +
                QLatin1Char('\n'));
            runCLIInShell(QStringLiteral("bash"));
        } else {
            say(QStringLiteral("❌ Failed to run CLI in bash: ") + error + QLatin1Char('\n'));
            SupervisorState failed;
            failed.phase = SupervisorState::Phase::Failed;
            failed.reason = QStringLiteral("CLI failed to start: ") + error;
            setState(failed);
        }
        return;
    }
    process->rememberGroup();
    ownedGroups_.append(process->groupId());
    currentProcess_ = process;
    say(QStringLiteral("✅ CLI started successfully in ") + shell + QLatin1Char('\n'));
    SupervisorState running;
    running.phase = SupervisorState::Phase::Running;
    setState(running);
}

void VantrelManager::readOutput(CliProcess* process) {
    const QByteArray bytes = process->readAll();
    if (bytes.isEmpty())
        return;
    const QString text = process->decode(bytes);
    if (!text.isEmpty())
        say(text);
}

void VantrelManager::onProcessFinished(CliProcess* process) {
    if (!process)
        return;
    process->deleteLater();
    const int status = process->exitCode();
    if (status != 0 && process->shell() == QLatin1String("zsh") && !process->stopRequested()) {
        say(QStringLiteral("⚠️ zsh failed, trying bash...\n"));
        runCLIInShell(QStringLiteral("bash"));
        return;
    }
    say(QStringLiteral("\n⚡️ CLI exited with code ") + QString::number(status) +
        QLatin1Char('\n'));
    if (currentProcess_ == process) {
        currentProcess_ = nullptr;
        SupervisorState exited;
        exited.phase = SupervisorState::Phase::Exited;
        exited.exitCode = status;
        setState(exited);
    }
}
