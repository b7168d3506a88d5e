#include "QuitGate.h"
#include "VantrelManager.h"
#include "output/Console.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

QuitGate::QuitGate(VantrelManager* manager, QObject* parent) : QObject(parent), manager_(manager) {
    QCoreApplication::instance()->installEventFilter(this);
    connect(manager_, &VantrelManager::cleanupFinished, this, [this] {
        if (quitting_)
            finish();
    });
}

void QuitGate::quit() {
    if (std::exchange(quitting_, true))
        return;
    Q_EMIT quitting();
    manager_->cleanup();
    // Only for a report that never comes: the stop itself is bounded by its SIGKILL.
    QTimer::singleShot(manager_->options().stopTimeoutMs + 1000, this, [this] {
        if (!left_)
            Console::log(QStringLiteral("⚠️ The CLI's stop did not report its end in time; "
                                        "leaving regardless"));
        finish();
    });
}

void QuitGate::finish() {
    if (std::exchange(left_, true))
        return;
    Q_EMIT leave();
}

bool QuitGate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Quit || watched != QCoreApplication::instance() || left_)
        return QObject::eventFilter(watched, event);
    // Refused for now, so a platform that asked (a logout) does not end the process itself;
    // the application leaves once the stop has reported.
    event->ignore();
    quit();
    return true;
}
