#include "LoginItemManager.h"

#include "Environment.h"
#include "output/Console.h"

std::unique_ptr<LoginItemManager> LoginItemManager::forUser(const Environment& environment) {
    return std::make_unique<LoginItemManager>(LoginItemBackend::createForPlatform(environment),
                                              defaultSettings(environment));
}

std::unique_ptr<QSettings> LoginItemManager::defaultSettings(const Environment& environment) {
#ifdef Q_OS_MACOS
    Q_UNUSED(environment);
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Halvane"), QStringLiteral("halvane"));
#else
    // The same file Qt would choose, under the configuration folder every other part uses.
    return std::make_unique<QSettings>(
        environment.configHome() + QStringLiteral("/Halvane/halvane.conf"), QSettings::IniFormat);
#endif
}

LoginItemManager::LoginItemManager(std::unique_ptr<LoginItemBackend> backend,
                                   std::unique_ptr<QSettings> settings, QObject* parent)
    : QObject(parent), backend_(std::move(backend)), settings_(std::move(settings)) {
    Q_ASSERT(backend_ && settings_);
    setEnabled(backend_->isEnabled());
    checkFirstLaunch();
}

LoginItemManager::~LoginItemManager() = default;

void LoginItemManager::checkFirstLaunch() {
    if (settings_->value(hasEnabledLoginItemKey, false).toBool())
        return;
    Console::log(QStringLiteral("🚀 First launch detected, enabling login item by default"));
    QString error;
    if (backend_->enable(&error))
        Console::log(QStringLiteral("🔧 Login item enabled by default using ") +
                     backend_->mechanismName());
    else
        Console::log(QStringLiteral("❌ Failed to enable login item by default: ") + error);
    // Set whatever the outcome: a failed registration is not retried on later launches.
    settings_->setValue(hasEnabledLoginItemKey, true);
    settings_->sync();
    if (settings_->status() != QSettings::NoError)
        Console::log(QStringLiteral("⚠️ Could not save the first-launch flag to ") +
                     settings_->fileName());
    setEnabled(backend_->isEnabled());
}

void LoginItemManager::toggleLoginItem() {
    QString error;
    bool ok = false;
    QString done;
    if (backend_->isEnabled()) {
        ok = backend_->disable(&error);
        done = QStringLiteral("🔧 Login item disabled using ");
    } else {
        ok = backend_->enable(&error);
        done = QStringLiteral("🔧 Login item enabled using ");
    }
    if (!ok) {
        Console::log(QStringLiteral("❌ Failed to toggle login item: ") + error);
        return;
    }
    Console::log(done + backend_->mechanismName());
    setEnabled(backend_->isEnabled());
}

void LoginItemManager::setEnabled(bool enabled) {
    if (isEnabled_ == enabled)
        return;
    isEnabled_ = enabled;
    emit isEnabledChanged(enabled);
}
