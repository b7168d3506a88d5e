#include "Environment.h"
#include "output/Console.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace {
QString absoluteOrEmpty(const QString& path) {
    return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : QString();
}

QString absoluteOr(const QString& path, const QString& fallback) {
    const QString absolute = absoluteOrEmpty(path);
    return absolute.isEmpty() ? fallback : absolute;
}

QString userDatabaseHome() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? QFile::decodeName(entry->pw_dir) : QDir::rootPath();
}

QUrl httpsUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty()
               ? url
               : QUrl();
}
} // namespace

Environment Environment::fromProcess() {
    return fromSystem(QProcessEnvironment::systemEnvironment());
}

Environment Environment::fromSystem(const QProcessEnvironment& system) {
    Environment e;
    e.variables_ = system;
    const auto value = [&system](const char* name) {
        return system.value(QString::fromLatin1(name));
    };
    e.home_ = absoluteOrEmpty(value("HOME"));
    if (e.home_.isEmpty())
        e.home_ = userDatabaseHome();
    e.configHome_ = absoluteOr(value("XDG_CONFIG_HOME"), e.home_ + QStringLiteral("/.config"));
    e.stateHome_ = absoluteOr(value("XDG_STATE_HOME"), e.home_ + QStringLiteral("/.local/state"));
    e.cacheHome_ = absoluteOr(value("XDG_CACHE_HOME"), e.home_ + QStringLiteral("/.cache"));
    e.runtimeDir_ = absoluteOrEmpty(value("XDG_RUNTIME_DIR"));
    e.tempDir_ = absoluteOr(value("TMPDIR"), QStringLiteral("/tmp"));
    e.display_ = value("DISPLAY");
    e.appImage_ = value("APPIMAGE");
    e.appDir_ = absoluteOrEmpty(value("APPDIR"));
    e.baseUrl_ = httpsUrl(value("HALVANE_BASE_URL"));
    e.caCertificates_ = value("HALVANE_CA_CERTS");
    if (const QString root = value("HALVANE_SWEEP_ROOT");
        system.contains(QStringLiteral("HALVANE_SWEEP_ROOT"))) {
        const char* problem = root.isEmpty()                ? "is empty"
                              : !QDir::isAbsolutePath(root) ? "is not an absolute path"
                              : !QFileInfo::exists(root)    ? "does not exist"
                                                            : nullptr;
        if (problem)
            e.sweepRootProblem_ =
                QStringLiteral("HALVANE_SWEEP_ROOT=%1 %2").arg(root, QLatin1String(problem));
        else
            e.sweepRoot_ = QDir::cleanPath(root);
    }
    return e;
}

QString Environment::launchable(const QString& runningBinary) const {
    if (appImage_.isEmpty() || appDir_.isEmpty() ||
        !runningBinary.startsWith(appDir_ + QLatin1Char('/')))
        return runningBinary;
    const QFileInfo image(appImage_);
    return image.isAbsolute() && image.isFile() ? image.absoluteFilePath() : runningBinary;
}

void Environment::logOverrides(const std::function<void(const QString&)>& alsoTo) const {
    const auto say = [&alsoTo](const QString& line) {
        Console::log(line);
        if (alsoTo)
            alsoTo(line + QLatin1Char('\n'));
    };
    const auto override = [&say](const char* name, const QString& value) {
        say(QStringLiteral("🔧 Development override: %1=%2").arg(QLatin1String(name), value));
    };
    const auto refused = [this, &say](const char* name, const char* why) {
        say(QStringLiteral("⚠️ %1 is not %2, ignored: %3")
                .arg(QLatin1String(name), QLatin1String(why),
                     variables_.value(QLatin1String(name))));
    };
    if (!baseUrl_.isEmpty())
        override("HALVANE_BASE_URL", baseUrl_.toString());
    else if (!variables_.value(QStringLiteral("HALVANE_BASE_URL")).isEmpty())
        refused("HALVANE_BASE_URL", "an https URL");
    if (!caCertificates_.isEmpty())
        override("HALVANE_CA_CERTS", caCertificates_);
    if (!sweepRoot_.isEmpty())
        override("HALVANE_SWEEP_ROOT", sweepRoot_);
    else if (!sweepRootProblem_.isEmpty())
        Console::log(QStringLiteral("⚠️ ") + sweepRootProblem_ +
                     QStringLiteral(": the stale-process sweep ends no process"));
}
