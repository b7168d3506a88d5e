#include "install/BuildRollback.h"
#include "install/BuildRecord.h"
#include "process/CliEnding.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

BuildRollback::BuildRollback(const SupervisorOptions& options, BuildRecord& record, Logger log)
    : options_(options), record_(record), log_(std::move(log)) {}

bool BuildRollback::installedOnTrial() const {
    return record_.get().trial;
}

void BuildRollback::pass() {
    if (!record_.get().trial)
        return;
    const QString error = record_.change([](CliMetadata& r) { r.pass(); });
    if (!error.isEmpty())
        log_.warning(QStringLiteral("⚠️ Could not record that the new build works: ") + error);
}

bool BuildRollback::rollBackIfFailed(const CliEnding& ending) {
    const bool failed =
        !ending.requested && ending.ranMs < options_.rollbackWindowMs &&
        (ending.crashed() || (ending.effectiveSignal() == 0 && ending.exitCode != 0));
    if (!failed)
        return false;
    const CliMetadata& record = record_.get();
    const QString previous = options_.previousCliPath();
    // A first install has nothing proven beside it: the restarts deal with it.
    if (!record.trial || !QFileInfo(previous).isFile())
        return false;
    // Only the build the record names as the last that passed goes back, never the failed one.
    const QString kept = CliMetadata::sha256Of(previous, options_.maxDownloadBytes);
    if (kept.isEmpty() || kept == record.installed.sha256 ||
        (!record.previous.sha256.isEmpty() && kept != record.previous.sha256)) {
        log_.error(QStringLiteral("❌ Not rolling back: %1 (SHA-256 %2) is not the build that "
                                  "last passed its trial")
                       .arg(previous, kept.left(12)));
        return false;
    }
    if (std::rename(QFile::encodeName(previous).constData(),
                    QFile::encodeName(options_.cliPath()).constData()) != 0) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        log_.error(
            QStringLiteral("❌ Could not put the previous build %1 back: %2").arg(previous, error));
        return false;
    }
    if (CliMetadata::haltsAfter(CliMetadata::Step::RolledBack))
        return false;
    // The server's tags let the next launch ask for anything but this build.
    QString bad;
    const QString saveError = record_.change([&](CliMetadata& r) {
        if (r.previous.sha256.isEmpty())
            r.previous.sha256 = kept;
        bad = r.refuseInstalledAndRestorePrevious().sha256;
    });
    QString line =
        QStringLiteral("↩️ The new build (SHA-256 %1) failed at its first start (it %2): "
                       "the previous build is back in place")
            .arg(bad.left(12), ending.cause());
    if (saveError.isEmpty()) {
        line += QStringLiteral(" and will not be replaced by it again");
    } else {
        refusedThisSession_.append(bad);
        line += QStringLiteral(". The refusal could not be saved (%1), so it holds only until "
                               "the application quits")
                    .arg(saveError);
    }
    log_.warning(line);
    return true;
}
