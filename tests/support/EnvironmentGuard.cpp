#include "EnvironmentGuard.h"

#include <QtGlobal>

EnvironmentGuard::~EnvironmentGuard() {
    // Newest first, so a variable changed twice ends up as it was before the first change.
    for (auto it = saved_.crbegin(); it != saved_.crend(); ++it) {
        if (it->second)
            qputenv(it->first.constData(), *it->second);
        else
            qunsetenv(it->first.constData());
    }
}

EnvironmentGuard& EnvironmentGuard::set(const char* name, const QByteArray& value) {
    remember(name);
    qputenv(name, value);
    return *this;
}

EnvironmentGuard& EnvironmentGuard::unset(const char* name) {
    remember(name);
    qunsetenv(name);
    return *this;
}

void EnvironmentGuard::remember(const char* name) {
    std::optional<QByteArray> value;
    if (qEnvironmentVariableIsSet(name))
        value = qgetenv(name);
    saved_.append({QByteArray(name), value});
}
