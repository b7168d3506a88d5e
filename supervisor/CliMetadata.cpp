#include "CliMetadata.h"
#include "Sha256.h"
#include "SupervisorState.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
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

// The SHA-256 of a regular file of at most limit bytes, or empty.
QString sha256Of(const QString& path, qint64 limit) {
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

QJsonObject knownFieldsOf(const QJsonObject& metadata, const QStringList& keys) {
    QJsonObject clean;
    for (const QString& key : keys) {
        const QJsonValue value = metadata.value(key);
        if (value.isUndefined() || (value.isString() && value.toString().size() > kMaxStringChars))
            continue;
        clean.insert(key, value.isObject() ? knownFieldsOf(value.toObject(), CliMetadata::buildKeys)
                                           : value);
    }
    return clean;
}
} // namespace

const QStringList CliMetadata::buildKeys = {QStringLiteral("etag"), QStringLiteral("lastModified"),
                                            QStringLiteral("size"), QStringLiteral("sha256"),
                                            QStringLiteral("date")};

const QStringList CliMetadata::refusalKeys = {
    QStringLiteral("rejectedSha256"), QStringLiteral("rejectedEtag"),
    QStringLiteral("rejectedLastModified"), QStringLiteral("rejectedSize")};

const QStringList CliMetadata::knownKeys =
    CliMetadata::buildKeys + CliMetadata::refusalKeys +
    QStringList{QStringLiteral("url"), QStringLiteral("installedAt"), QStringLiteral("trial"),
                QStringLiteral("previous"), kCheckedFile};

QJsonObject CliMetadata::load(const SupervisorOptions& options) {
    QString ignored;
    return read(options, &ignored);
}

QJsonObject CliMetadata::read(const SupervisorOptions& options, QString* problem) {
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
    return document.object();
}

QString CliMetadata::save(const SupervisorOptions& options, const QJsonObject& metadata) {
    if (beforeSave && !beforeSave())
        return {};
    QDir().mkpath(options.stateDir);
    QSaveFile file(metadataPath(options));
    QJsonObject clean = knownFieldsOf(metadata, knownKeys);
    // Saved right after the installed file or the record changed, so the record describes the
    // file it is saved beside; the next start reads the file only if it is another one.
    struct stat info {};
    clean.remove(kCheckedFile);
    if (clean.contains(QStringLiteral("sha256")) && isInstalled(options, &info))
        clean.insert(kCheckedFile, identityOf(info));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(clean).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        return file.fileName() + QStringLiteral(": ") + file.errorString();
    return {};
}

QString CliMetadata::describe(const QJsonObject& build) {
    const QString sha = build.value(QStringLiteral("sha256")).toString();
    if (sha.isEmpty())
        return {};
    QString text = humanSize(qint64(build.value(QStringLiteral("size")).toDouble())) +
                   QStringLiteral(", SHA-256 ") + sha.left(12);
    const QDateTime date =
        QDateTime::fromString(build.value(QStringLiteral("date")).toString(), Qt::ISODate);
    if (date.isValid())
        text += QStringLiteral(", ") + date.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    return text;
}

QJsonObject CliMetadata::buildOf(const QJsonObject& metadata) {
    QJsonObject build;
    for (const QString& key : buildKeys)
        if (metadata.contains(key))
            build.insert(key, metadata.value(key));
    return build;
}

void CliMetadata::reconcile(const SupervisorOptions& options, const OutputLog::Writer& say) {
    const QString path = metadataPath(options);
    QString problem;
    const QJsonObject found = read(options, &problem);
    QJsonObject record = found;
    bool changed = false;
    if (!problem.isEmpty()) {
        const QString aside = setAside(path);
        say(aside.isEmpty()
                ? QStringLiteral(
                      "⚠️ The download record %1 %2, and it could not be moved aside: "
                      "%3\n")
                      .arg(path, problem, systemError(errno))
                : QStringLiteral(
                      "⚠️ The download record %1 %2: moved it aside to %3 and started a "
                      "new one\n")
                      .arg(path, problem, aside));
        if (aside.isEmpty())
            return;
        record = {};
        changed = true;
    }

    auto forgetBuild = [&record] {
        for (const QString& key : buildKeys)
            record.remove(key);
        for (const QString& key :
             {QStringLiteral("trial"), QStringLiteral("trialRuns"), QStringLiteral("previous")})
            record.remove(key);
    };
    struct stat info {};
    if (!isInstalled(options, &info)) {
        // Nothing installed, so nothing the record's tags could stand for.
        const QJsonObject before = record;
        forgetBuild();
        changed = changed || record != before;
    } else if (record.value(kCheckedFile).toString() != identityOf(info)) {
        // Not the file the record was saved beside: after a crash between the two, or a file
        // put there by hand.
        const QString recorded = record.value(QStringLiteral("sha256")).toString();
        const bool sameSize =
            qint64(record.value(QStringLiteral("size")).toDouble()) == qint64(info.st_size);
        const QString actual = sha256Of(options.cliPath(), options.maxDownloadBytes);
        if (recorded.isEmpty() || !sameSize || actual != recorded) {
            forgetBuild();
            if (!recorded.isEmpty())
                say(QStringLiteral(
                        "⚠️ The download record described another build (SHA-256 %1) "
                        "than the installed CLI%2: corrected, and the next download "
                        "asks for the whole file\n")
                        .arg(recorded.left(12),
                             actual.isEmpty()
                                 ? QString()
                                 : QStringLiteral(" (SHA-256 %1)").arg(actual.left(12))));
            if (!actual.isEmpty()) {
                record.insert(QStringLiteral("size"), double(info.st_size));
                record.insert(QStringLiteral("sha256"), actual);
            }
        }
        changed = true;
    }
    // Fields this version does not know are dropped now rather than carried along.
    if (changed || knownFieldsOf(record, knownKeys) != record) {
        const QString error = save(options, record);
        if (!error.isEmpty())
            say(QStringLiteral("⚠️ Could not save the download's details: ") + error +
                QLatin1Char('\n'));
    }
}
