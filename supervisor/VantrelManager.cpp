#include "VantrelManager.h"
#include "install/CliInstaller.h"
#include "process/CliRunner.h"
#include "process/ProcessSweep.h"

VantrelManager::VantrelManager(SupervisorOptions options, QObject* parent)
    : VantrelManager(options,
                     new OutputLog(options, QStringLiteral("🔧 Vantrel Manager initialized\n")),
                     parent) {}

VantrelManager::VantrelManager(SupervisorOptions options, OutputLog* log, QObject* parent)
    : QObject(parent), outputHandler(log->writer()), options_(std::move(options)), log_(log),
      runner_(new CliRunner(options_, log_, this)),
      installer_(new CliInstaller(options_, Logger(outputHandler), this)),
      lifecycle_(new CliLifecycle(options_, runner_, installer_, outputHandler, this)) {
    qRegisterMetaType<SupervisorState>();
    log_->setParent(this);
    connect(log_, &OutputLog::appended, this, &VantrelManager::outputAppended);
    connect(lifecycle_, &CliLifecycle::stateChanged, this, &VantrelManager::stateChanged);
    connect(lifecycle_, &CliLifecycle::installFinished, this, &VantrelManager::installFinished);
    connect(lifecycle_, &CliLifecycle::attentionNeeded, this, &VantrelManager::attentionNeeded);
    connect(lifecycle_, &CliLifecycle::cleanupFinished, this,
            [this] { log_->whenWritten(this, [this] { Q_EMIT cleanupFinished(); }); });
}

VantrelManager::~VantrelManager() {
    // Nothing of ours outlives the supervisor, even when nobody waited for a stop.
    runner_->killNow();
    delete lifecycle_;
    // The runner's reader threads write into the log: they go first. The log, a child, then
    // writes out what it holds before its writer ends.
    delete runner_;
}

CliProcess* VantrelManager::currentProcess() const {
    return runner_->currentProcess();
}

bool VantrelManager::isInstalling() const {
    return installer_->isInstalling();
}

QString VantrelManager::assetName() {
    return CliInstaller::assetName();
}

QList<pid_t> VantrelManager::parsePgrepOutput(const QString& text) {
    return ProcessSweep::parsePgrepOutput(text);
}

void VantrelManager::createInstallDirectory() {
    installer_->createInstallDirectory();
}

void VantrelManager::downloadAndRunCLI() {
    lifecycle_->request(CliLifecycle::Input::SetUp);
}

void VantrelManager::installCLI() {
    lifecycle_->request(CliLifecycle::Input::Install);
}

void VantrelManager::updateCLI() {
    lifecycle_->request(CliLifecycle::Input::Update);
}

void VantrelManager::runCLI() {
    lifecycle_->request(CliLifecycle::Input::Run);
}

void VantrelManager::checkForUpdate() {
    lifecycle_->request(CliLifecycle::Input::Check);
}

void VantrelManager::runCLIInShell(const QString& shell) {
    runner_->runCLIInShell(shell);
}

void VantrelManager::killExistingProcesses() {
    lifecycle_->request(CliLifecycle::Input::Sweep);
}

void VantrelManager::cleanup() {
    lifecycle_->request(CliLifecycle::Input::Cleanup);
}

void VantrelManager::restartCLI() {
    lifecycle_->request(CliLifecycle::Input::Restart);
}

void VantrelManager::networkReachable() {
    lifecycle_->request(CliLifecycle::Input::NetworkBack);
}

void VantrelManager::whenLogWritten(QObject* context, std::function<void()> done) {
    log_->whenWritten(context, std::move(done));
}
