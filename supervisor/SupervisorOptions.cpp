#include "SupervisorOptions.h"
#include "Environment.h"

SupervisorOptions SupervisorOptions::forUser(const Environment& environment) {
    SupervisorOptions options;
    const QString home = environment.home();
    options.installDir = home + QStringLiteral("/.vantrel/bin");
#ifdef Q_OS_MACOS
    options.stateDir = home + QStringLiteral("/Library/Application Support/Vantrel Halvane");
    options.logDir = home + QStringLiteral("/Library/Logs/Vantrel Halvane");
#else
    options.stateDir = environment.stateHome() + QStringLiteral("/halvane");
    options.logDir = options.stateDir;
#endif
    options.baseURL = environment.baseUrl().isEmpty()
                          ? QUrl(QStringLiteral(HALVANE_DEFAULT_BASE_URL))
                          : environment.baseUrl();
    options.caCertificates = environment.caCertificates();
    // For the application's own tests, which must never sweep real CLIs: it can only narrow.
    options.sweepRoot = environment.sweepRoot();
    options.sweepRootProblem = environment.sweepRootProblem();
    options.cliEnvironment = environment.variables();
    return options;
}
