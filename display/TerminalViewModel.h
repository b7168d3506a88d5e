#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include "VantrelManager.h"

// The terminal window's copy of the output log. Takes the supervisor's retained log on the
// next turn of the event loop, then every batch the supervisor appends, always on a later
// turn than the supervisor's own change. Trims itself by the supervisor's bounds, so the copy
// stays equal to the retained log and never grows beyond it.
class TerminalViewModel : public QObject {
    Q_OBJECT

public:
    // Mirrors the process-wide supervisor.
    TerminalViewModel();
    explicit TerminalViewModel(VantrelManager* manager, QObject* parent = nullptr);
    ~TerminalViewModel() override;

    const QString& output() const { return output_; }
    VantrelManager* manager() const { return manager_; }
    // The complete log on disk, or empty without a supervisor.
    QString logFilePath() const;

Q_SIGNALS:
    // The whole text was replaced (the first delivery).
    void outputReset(const QString& output);
    // `batch` was appended; older text may have been trimmed from the front.
    void outputAppended(const QString& batch);

private:
    void takeRetained(const QString& retained);
    void append(const QString& batch);
    void trimToBounds();

    QString output_;
    qsizetype outputLines_ = 0;
    QPointer<VantrelManager> manager_;
};
