#pragma once

#include <QByteArray>
#include <QList>

#include <optional>
#include <utility>

// Sets and unsets environment variables for one scope, then puts back what was there.
class EnvironmentGuard {
public:
    EnvironmentGuard() = default;
    ~EnvironmentGuard();
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

    EnvironmentGuard& set(const char* name, const QByteArray& value);
    EnvironmentGuard& unset(const char* name);

private:
    void remember(const char* name);
    QList<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};
