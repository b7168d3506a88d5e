#pragma once

#include <QAccessible>
#include <QLabel>
#include <QTimer>

// A label that a screen reader reads as what it shows, under a name that says what it is
// ("Matches": "3 of 3"), and hears about when the text changes: at once, then at most once per
// AnnounceIntervalMs with the latest text, so a download's progress does not flood it.
class LiveLabel final : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LiveLabel)

public:
    static constexpr int AnnounceIntervalMs = 500;

    LiveLabel(QAccessible::Role role, const QString& name, QWidget* parent);

    QAccessible::Role role() const { return role_; }
    // Shows `text` and announces it; use this rather than setText().
    void setLiveText(const QString& text);
    void setAnnounceInterval(int milliseconds) { announceTimer_.setInterval(milliseconds); }

Q_SIGNALS:
    // After a change was told to assistive technologies.
    void announced(const QString& text);

private:
    void announce();

    QAccessible::Role role_;
    QString announced_;
    QTimer announceTimer_;
};
