#include "install/CliMetadata.h"
#include "SupervisorState.h"
#include "install/Sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A string field longer than this is not kept, so what save writes load can always read.
constexpr qsizetype kMaxStringChars = 1024;
const QString kCheckedFile = QStringLiteral("checkedFile");

QString metadataPath(const SupervisorOptions& options) {
    return options.stateDir + QStringLiteral("/cli-download.json");
}

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Opened without waiting (a FIFO would otherwise block until a writer comes) and checked on the
// descriptor, so what is checked is what is read.
class OpenFile {
public:
    explicit OpenFile(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(),
                     O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)),
          error_(fd_ < 0 ? errno : 0) {
        if (fd_ >= 0 && ::fstat(fd_, &info_) != 0)
            error_ = errno;
    }
    ~OpenFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }
    const struct stat& info() const { return info_; }
    // What is there instead of a regular file, or empty.
    QString notAFile() const {
        if (S_ISREG(info_.st_mode))
            return {};
        if (S_ISDIR(info_.st_mode))
            return QStringLiteral("is a folder, not a file");
        if (S_ISFIFO(info_.st_mode))
            return QStringLiteral("is a FIFO, not a file");
        return QStringLiteral("is a device or socket, not a file");
    }
    // Up to limit + 1 bytes, so a caller can tell a file that grew past the limit.
    bool readUpTo(qint64 limit, QByteArray* bytes) {
        bytes->resize(0);
        char buffer[64 * 1024];
        while (bytes->size() <= limit) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error_ = errno;
                return false;
            }
            if (n == 0)
                break;
            bytes->append(buffer, n);
        }
        return true;
    }

private:
    int fd_;
    int error_;
    struct stat info_ {};
};

// Which file the record was last found to describe; a rename or a rewrite changes it.
QString identityOf(const struct stat& info) {
    return QStringLiteral("%1:%2:%3:%4")
        .arg(info.st_dev)
        .arg(info.st_ino)
        .arg(qint64(info.st_mtime))
        .arg(qint64(info.st_size));
}

// Whether a regular file is at the CLI path, and its details.
bool isInstalled(const SupervisorOptions& options, struct stat* info) {
    return ::stat(QFile::encodeName(options.cliPath()).constData(), info) == 0 &&
           S_ISREG(info->st_mode);
}

QString setAside(const QString& path) {
    const QString stem = path + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = stem;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = stem + QStringLiteral("-%1").arg(n);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) !=
        0)
        return {};
    return target;
}

// The keys of one build's fields, at the top level or inside "previous"; the refused build's
// have names of their own and no date.
struct BuildKeys {
    QString sha256, size, etag, lastModified, date;
};
const BuildKeys kBuildKeys{QStringLiteral("sha256"), QStringLiteral("size"), QStringLiteral("etag"),
                           QStringLiteral("lastModified"), QStringLiteral("date")};
const BuildKeys kRefusedKeys{QStringLiteral("rejectedSha256"),
                             QStringLiteral("rejectedSize"),
                             QStringLiteral("rejectedEtag"),
                             QStringLiteral("rejectedLastModified"),
                             {}};
const QString kUrl = QStringLiteral("url");
const QString kInstalledAt = QStringLiteral("installedAt");
const QString kTrial = QStringLiteral("trial");
const QString kPrevious = QStringLiteral("previous");
const QString kCandidate = QStringLiteral("candidate");
const QString kKeepsInstalled = QStringLiteral("keepsInstalled");
const QString kStaged = QStringLiteral("staged");

QString text(const QJsonObject& json, const QString& key) {
    const QString value = json.value(key).toString();
    return value.size() > kMaxStringChars ? QString() : value;
}

CliMetadata::Build buildFrom(const QJsonObject& json, const BuildKeys& keys) {
    CliMetadata::Build build;
    build.sha256 = text(json, keys.sha256);
    build.size = qint64(json.value(keys.size).toDouble());
    build.etag = text(json, keys.etag);
    build.lastModified = text(json, keys.lastModified);
    if (!keys.date.isEmpty())
        build.date = text(json, keys.date);
    return build;
}

void insertBuild(QJsonObject* json, const CliMetadata::Build& build, const BuildKeys& keys) {
    const auto put = [json](const QString& key, const QString& value) {
        if (!key.isEmpty() && !value.isEmpty())
            json->insert(key, value);
    };
    put(keys.sha256, build.sha256);
    if (build.size != 0)
        json->insert(keys.size, double(build.size));
    put(keys.etag, build.etag);
    put(keys.lastModified, build.lastModified);
    put(keys.date, build.date);
}

QJsonObject toJson(const CliMetadata& record) {
    QJsonObject json;
    if (!record.url.isEmpty())
        json.insert(kUrl, record.url);
    insertBuild(&json, record.installed, kBuildKeys);
    if (record.installedAt != 0)
        json.insert(kInstalledAt, double(record.installedAt));
    if (record.trial || !record.installed.sha256.isEmpty())
        json.insert(kTrial, record.trial);
    if (!record.previous.isEmpty()) {
        QJsonObject previous;
        insertBuild(&previous, record.previous, kBuildKeys);
        json.insert(kPrevious, previous);
    }
    insertBuild(&json, record.refused, kRefusedKeys);
    if (!record.candidate.isEmpty()) {
        QJsonObject candidate;
        insertBuild(&candidate, record.candidate, kBuildKeys);
        if (!record.candidateUrl.isEmpty())
            candidate.insert(kUrl, record.candidateUrl);
        candidate.insert(kKeepsInstalled, record.candidateKeepsInstalled);
        json.insert(kCandidate, candidate);
    }
    if (!record.staged.isEmpty()) {
        QJsonObject staged;
        insertBuild(&staged, record.staged, kBuildKeys);
        if (!record.stagedUrl.isEmpty())
            staged.insert(kUrl, record.stagedUrl);
        json.insert(kStaged, staged);
    }
    if (!record.checkedFile.isEmpty())
        json.insert(kCheckedFile, record.checkedFile);
    return json;
}

CliMetadata fromJson(const QJsonObject& json) {
    CliMetadata record;
    record.url = text(json, kUrl);
    record.installed = buildFrom(json, kBuildKeys);
    record.installedAt = qint64(json.value(kInstalledAt).toDouble());
    record.trial = json.value(kTrial).toBool();
    record.previous = buildFrom(json.value(kPrevious).toObject(), kBuildKeys);
    record.refused = buildFrom(json, kRefusedKeys);
    const QJsonObject candidate = json.value(kCandidate).toObject();
    record.candidate = buildFrom(candidate, kBuildKeys);
    record.candidateUrl = text(candidate, kUrl);
    record.candidateKeepsInstalled = candidate.value(kKeepsInstalled).toBool();
    const QJsonObject staged = json.value(kStaged).toObject();
    record.staged = buildFrom(staged, kBuildKeys);
    record.stagedUrl = text(staged, kUrl);
    record.checkedFile = text(json, kCheckedFile);
    record.needsRewrite = toJson(record) != json;
    return record;
}
} // namespace

QString CliMetadata::sha256Of(const QString& path, qint64 limit) {
    OpenFile file(path);
    if (file.error() != 0 || !file.notAFile().isEmpty() || file.info().st_size > limit)
        return {};
    QFile reader;
    Sha256 hash;
    if (!reader.open(file.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) ||
        !hash.addData(&reader))
        return {};
    return hash.hexResult();
}

CliMetadata CliMetadata::load(const SupervisorOptions& options) {
    QString ignored;
    return read(options, &ignored);
}

CliMetadata CliMetadata::read(const SupervisorOptions& options, QString* problem) {
    problem->clear();
    OpenFile file(metadataPath(options));
    if (file.error() == ENOENT)
        return {};
    if (file.error() != 0) {
        *problem = QStringLiteral("cannot be read: ") + systemError(file.error());
        return {};
    }
    if (*problem = file.notAFile(); !problem->isEmpty())
        return {};
    QByteArray bytes;
    if (!file.readUpTo(maxRecordBytes, &bytes)) {
        *problem = QStringLiteral("cannot be read: ") + systemError(file.error());
        return {};
    }
    if (bytes.size() > maxRecordBytes) {
        *problem = QStringLiteral("is %1, more than a record can be (%2)")
                       .arg(humanSize(std::max<qint64>(bytes.size(), file.info().st_size)),
                            humanSize(maxRecordBytes));
        return {};
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        *problem = QStringLiteral("is not valid JSON (%1 at byte %2)")
                       .arg(error.errorString())
                       .arg(error.offset);
    else if (!document.isObject())
        *problem = QStringLiteral("is not a JSON object");
    return problem->isEmpty() ? fromJson(document.object()) : CliMetadata();
}

QString CliMetadata::save(const SupervisorOptions& options) {
    // The folder is private, as the log in it; the record keeps the mode its file is given.
    QDir().mkpath(QFileInfo(options.stateDir).path());
    QDir().mkdir(options.stateDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(metadataPath(options));
    // Saved right after the installed file or the record changed, so the record describes the
    // file it is saved beside; the next check reads the file only if it is another one.
    struct stat info {};
    checkedFile =
        !installed.sha256.isEmpty() && isInstalled(options, &info) ? identityOf(info) : QString();
    needsRewrite = false;
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(toJson(*this)).toJson(QJsonDocument::Compact)) < 0 ||
        !file.commit())
        return file.fileName() + QStringLiteral(": ") + file.errorString();
    return {};
}

QString CliMetadata::Build::describe() const {
    if (sha256.isEmpty())
        return {};
    QString text = humanSize(size) + QStringLiteral(", SHA-256 ") + sha256.left(12);
    const QDateTime when = QDateTime::fromString(date, Qt::ISODate);
    if (when.isValid())
        text += QStringLiteral(", ") + when.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    return text;
}

void CliMetadata::beginInstall(const QString& from, const Build& build, bool keepsInstalled) {
    candidate = build;
    candidateUrl = from;
    candidateKeepsInstalled = keepsInstalled;
}

void CliMetadata::finishInstall(const SupervisorOptions& options, bool keptInstalled) {
    if (keptInstalled)
        previous = installed;
    else if (!QFileInfo(options.previousCliPath()).isFile())
        previous = {};
    url = std::exchange(candidateUrl, {});
    installed = std::exchange(candidate, {});
    // The staged build was the one put in place.
    if (staged.sha256 == installed.sha256) {
        staged = {};
        stagedUrl.clear();
    }
    installedAt = QDateTime::currentMSecsSinceEpoch();
    trial = true;
    candidateKeepsInstalled = false;
}

CliMetadata::Build CliMetadata::refuseInstalledAndRestorePrevious() {
    const Build bad = std::exchange(installed, std::exchange(previous, {}));
    refused = bad;
    refused.date.clear();
    trial = false;
    return bad;
}

bool CliMetadata::refuses(const QString& sha256, const QStringList& refusedThisSession) const {
    return (!refused.sha256.isEmpty() && refused.sha256 == sha256) ||
           refusedThisSession.contains(sha256);
}

namespace {
// An install cut short: the candidate's hash at the CLI path says whether its rename happened.
// Finished from there if it did, forgotten if it did not; either way the previous build is the
// last one that passed.
void settleInstall(const SupervisorOptions& options, const Logger& log, CliMetadata* record) {
    const qint64 limit = options.maxDownloadBytes;
    const QString candidate = record->candidate.sha256;
    if (candidate.isEmpty() || CliMetadata::sha256Of(options.cliPath(), limit) != candidate) {
        record->candidate = {};
        record->candidateUrl.clear();
        record->candidateKeepsInstalled = false;
        log.warning(QStringLiteral("⚠️ The install of the build with SHA-256 %1 was cut short "
                                   "before it was put in place: the installed build stays")
                        .arg(candidate.left(12)));
        return;
    }
    bool kept = false;
    if (record->candidateKeepsInstalled) {
        const QString replaced = record->installed.sha256;
        const QString staged = options.stagedPreviousPath();
        const QString previous = options.previousCliPath();
        if (!replaced.isEmpty() && CliMetadata::sha256Of(staged, limit) == replaced)
            kept = std::rename(QFile::encodeName(staged).constData(),
                               QFile::encodeName(previous).constData()) == 0;
        else
            kept = !replaced.isEmpty() && CliMetadata::sha256Of(previous, limit) == replaced;
    }
    record->finishInstall(options, kept);
    log.warning(
        QStringLiteral("⚠️ The install of the build with SHA-256 %1 was cut short after "
                       "it was put in place: finished it, the build is on trial%2")
            .arg(candidate.left(12),
                 record->previous.isEmpty()
                     ? QString()
                     : QStringLiteral(" and the build with SHA-256 %1 is kept to go back to")
                           .arg(record->previous.sha256.left(12))));
}

// A staged build stays only while its file is the one recorded; a file the record does not name
// is what a crash between the rename and the record's save left.
void settleStaged(const SupervisorOptions& options, const Logger& log, CliMetadata* record) {
    const QString path = options.stagedCliPath();
    const CliMetadata::Build& staged = record->staged;
    if (staged.isEmpty()) {
        QFile::remove(path);
        return;
    }
    if (QFileInfo(path).size() == staged.size &&
        CliMetadata::sha256Of(path, options.maxDownloadBytes) == staged.sha256)
        return;
    log.warning(
        QStringLiteral("⚠️ The staged build (SHA-256 %1) is no longer the file that was "
                       "verified: dropped it, the next check downloads it again")
            .arg(staged.sha256.left(12)));
    QFile::remove(path);
    record->staged = {};
    record->stagedUrl.clear();
}
} // namespace

void CliMetadata::reconcile(const SupervisorOptions& options, const Logger& log, bool fromDisk) {
    // Fields this version does not know are dropped now rather than carried along.
    bool changed = false;
    if (fromDisk) {
        const QString path = metadataPath(options);
        QString problem;
        *this = read(options, &problem);
        changed = needsRewrite;
        if (!problem.isEmpty()) {
            const QString aside = setAside(path);
            log.warning(
                aside.isEmpty()
                    ? QStringLiteral("⚠️ The download record %1 %2, and it could not be "
                                     "moved aside: %3")
                          .arg(path, problem, systemError(errno))
                    : QStringLiteral("⚠️ The download record %1 %2: moved it aside to %3 "
                                     "and started a new one")
                          .arg(path, problem, aside));
            if (aside.isEmpty())
                return;
            changed = true;
        }
    }

    struct stat info {};
    const bool present = isInstalled(options, &info);
    if (!candidate.isEmpty()) {
        settleInstall(options, log, this);
        changed = true;
        if (present)
            checkedFile = identityOf(info);
    }
    // Only an install makes it, and the install has been settled by now.
    QFile::remove(options.stagedPreviousPath());
    if (fromDisk) {
        const Build before = staged;
        settleStaged(options, log, this);
        changed = changed || staged != before;
    }

    auto forgetBuild = [this] {
        installed = {};
        trial = false;
        previous = {};
    };
    if (!present) {
        // Nothing installed, so nothing the record's tags could stand for.
        const CliMetadata before = *this;
        forgetBuild();
        changed = changed || *this != before;
    } else if (checkedFile != identityOf(info)) {
        // Not the file the record was saved beside: after a crash between the two, or a file
        // put there by hand.
        const QString recorded = installed.sha256;
        const bool sameSize = installed.size == qint64(info.st_size);
        const QString actual = sha256Of(options.cliPath(), options.maxDownloadBytes);
        if (trial && !actual.isEmpty() && actual == previous.sha256 &&
            !QFileInfo::exists(options.previousCliPath())) {
            // A rollback cut short after its rename: the previous build is back in place.
            const Build bad = refuseInstalledAndRestorePrevious();
            log.warning(QStringLiteral("⚠️ The rollback from the build that failed its trial "
                                       "(SHA-256 %1) was cut short: finished it, the previous "
                                       "build (SHA-256 %2) is in place")
                            .arg(bad.sha256.left(12), actual.left(12)));
        } else if (recorded.isEmpty() || !sameSize || actual != recorded) {
            forgetBuild();
            if (!recorded.isEmpty())
                log.warning(QStringLiteral("⚠️ The download record described another build "
                                           "(SHA-256 %1) than the installed CLI%2: corrected, "
                                           "and the next download asks for the whole file")
                                .arg(recorded.left(12),
                                     actual.isEmpty()
                                         ? QString()
                                         : QStringLiteral(" (SHA-256 %1)").arg(actual.left(12))));
            if (!actual.isEmpty()) {
                installed.size = qint64(info.st_size);
                installed.sha256 = actual;
            }
        }
        changed = true;
    }
    if (changed)
        saveOrWarn(options, log);
}

void CliMetadata::saveOrWarn(const SupervisorOptions& options, const Logger& log) {
    const QString error = save(options);
    if (!error.isEmpty())
        log.warning(QStringLiteral("⚠️ Could not save the download's details: ") + error);
}
