#pragma once

#include <QProcess>
#include <QStringDecoder>

#include <sys/types.h>

// One shell running the CLI, in a session and process group of its own so that stopping it
// reaches the CLI and everything it started, not only the shell.
class CliProcess : public QProcess {
    Q_OBJECT

public:
    CliProcess(const QString& shell, QObject* parent = nullptr);

    QString shell() const { return shell_; }
    // The process group the shell leads; stays valid for signalling its members after the
    // shell itself has exited.
    pid_t groupId() const { return groupId_; }
    void rememberGroup() { groupId_ = pid_t(processId()); }

    // Set when the supervisor itself asked the CLI to stop, so its end is not mistaken for a
    // failure of the shell.
    bool stopRequested() const { return stopRequested_; }
    void requestStop();

    // Decodes the merged output stream; keeps partial UTF-8 sequences for the next read.
    QString decode(const QByteArray& bytes) { return decoder_.decode(bytes); }
    // At the end of the stream: a sequence cut short becomes U+FFFD rather than vanishing.
    QString decodeEnd() {
        // Qt's decoder may take the probe byte into the broken sequence, or keep it apart.
        QString rest = decoder_.decode(QByteArrayView(" ", 1));
        if (rest.endsWith(QLatin1Char(' ')))
            rest.chop(1);
        return rest;
    }

private:
    QString shell_;
    pid_t groupId_ = 0;
    bool stopRequested_ = false;
    QStringDecoder decoder_{QStringDecoder::Utf8};
};
