#pragma once

#include "Console.h"
#include "VantrelManager.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Console lines of the code under test, captured from any thread.
class ConsoleCapture {
public:
    ConsoleCapture() {
        Console::setSink([this](const QString& line) {
            QMutexLocker lock(&mutex_);
            lines_.append(line);
        });
    }
    ~ConsoleCapture() { Console::setSink({}); }
    QStringList lines() const {
        QMutexLocker lock(&mutex_);
        return lines_;
    }
    // The supervisor also traces every output-log chunk here, so the joined lines show both
    // channels in the order they happened.
    QString text() const {
        QMutexLocker lock(&mutex_);
        return lines_.join(QLatin1Char('\n'));
    }
    bool contains(const QString& text) const {
        for (const QString& line : lines())
            if (line.contains(text))
                return true;
        return false;
    }

private:
    mutable QMutex mutex_;
    QStringList lines_;
};

// A supervisor whose install and state folders live in a fresh temporary folder.
struct SupervisorFixture {
    explicit SupervisorFixture(const QString& installSubdir = QStringLiteral("bin")) {
        options.installDir = dir.path() + QLatin1Char('/') + installSubdir;
        options.stateDir = dir.path() + QStringLiteral("/state");
        options.logDir = options.stateDir;
        options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:9/static/cli"));
        QDir().mkpath(options.installDir);
    }

    VantrelManager& manager() {
        if (!instance)
            instance = std::make_unique<VantrelManager>(options);
        return *instance;
    }

    // Writes the fake CLI as an executable bash script.
    void writeCli(const QByteArray& body, bool executable = true) const {
        QFile file(options.installDir + QStringLiteral("/vantrel"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write("#!/bin/bash\n" + body + "\n");
        file.close();
        auto permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        file.setPermissions(permissions);
    }

    QString logText() const {
        QFile file(options.logDir + QStringLiteral("/cli.log"));
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    QTemporaryDir dir;
    SupervisorOptions options;
    std::unique_ptr<VantrelManager> instance;
};

// Index of each needle in text, in order; -1 where one is missing or out of order.
inline bool appearsInOrder(const QString& text, const QStringList& needles) {
    qsizetype from = 0;
    for (const QString& needle : needles) {
        const qsizetype at = text.indexOf(needle, from);
        if (at < 0)
            return false;
        from = at + needle.size();
    }
    return true;
}
