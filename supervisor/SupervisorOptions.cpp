#include "SupervisorOptions.h"
#include "Console.h"

#include <QDir>

namespace {
QString xdgDir(const char* variable, const QString& fallback) {
    const QString value = qEnvironmentVariable(variable);
    // Relative values are invalid by the XDG rules and must be ignored.
    return (!value.isEmpty() && QDir::isAbsolutePath(value)) ? value : fallback;
}
} // namespace

SupervisorOptions SupervisorOptions::fromEnvironment() {
    SupervisorOptions options;
    const QString home = QDir::homePath();
    options.installDir = home + QStringLiteral("/.vantrel/bin");
#ifdef Q_OS_MACOS
    options.stateDir = home + QStringLiteral("/Library/Application Support/Vantrel Halvane");
    options.logDir = home + QStringLiteral("/Library/Logs/Vantrel Halvane");
#else
    options.stateDir = xdgDir("XDG_STATE_HOME", home + QStringLiteral("/.local/state")) +
                       QStringLiteral("/halvane");
    options.logDir = options.stateDir;
#endif
    const QUrl compiled(QStringLiteral(HALVANE_DEFAULT_BASE_URL));
    options.baseURL = compiled;
    const QString override = qEnvironmentVariable("HALVANE_BASE_URL");
    if (!override.isEmpty()) {
        const QUrl url(override, QUrl::StrictMode);
        if (url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty()) {
            options.baseURL = url;
            Console::log(QStringLiteral("🔧 Development override: HALVANE_BASE_URL=") + override);
        } else
            Console::log(QStringLiteral("⚠️ HALVANE_BASE_URL is not an https URL, using ") +
                         compiled.toString());
    }
    options.caCertificates = qEnvironmentVariable("HALVANE_CA_CERTS");
    if (!options.caCertificates.isEmpty())
        Console::log(QStringLiteral("🔧 Development override: HALVANE_CA_CERTS=") +
                     options.caCertificates);
    // For the application's own tests, which must never sweep real CLIs: it can only narrow.
    const QString root = qEnvironmentVariable("HALVANE_SWEEP_ROOT");
    if (!root.isEmpty()) {
        if (QDir::isAbsolutePath(root)) {
            options.sweepRoot = QDir::cleanPath(root);
            Console::log(QStringLiteral("🔧 Development override: HALVANE_SWEEP_ROOT=") +
                         options.sweepRoot);
        } else
            Console::log(
                QStringLiteral("⚠️ HALVANE_SWEEP_ROOT is not an absolute path, ignored: ") +
                root);
    }
    return options;
}
