#pragma once

#include <QObject>
#include <QString>

#include <utility>

class VantrelManager;

// What `halvane --status` prints: the facts the tray's tooltip shows, as "key: value" lines or
// one JSON object for scripts.
class StatusReport final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusReport)

public:
    explicit StatusReport(VantrelManager* manager, QObject* parent = nullptr);

    using Fields = QList<std::pair<QString, QVariant>>;
    Fields fields() const;
    QByteArray text(bool json) const;

private:
    VantrelManager* manager_;
};
