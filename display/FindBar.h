#pragma once

#include <QWidget>

class QCheckBox;
class LiveLabel;
class QLabel;
class QLineEdit;
class QToolButton;
class TerminalView;

// The terminal window's find bar: searches the view's scrollback as the text is typed. Enter
// and Shift+Enter go to the next and previous match, Escape closes the bar and clears the
// highlights.
class FindBar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FindBar)

public:
    explicit FindBar(TerminalView* view, QWidget* parent = nullptr);

    QLineEdit* field() const { return field_; }
    QCheckBox* caseSensitive() const { return case_; }
    // "2 of 5", "No matches", or nothing while the field is empty.
    QLabel* matchCount() const;

public Q_SLOTS:
    // Shows the bar with its text selected, searching again for it.
    void open();
    void dismiss();
    // Both open the bar first when it is closed.
    void findNext();
    void findPrevious();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void search();
    void showCount();

    TerminalView* view_;
    QLineEdit* field_;
    QToolButton* previous_;
    QToolButton* next_;
    QCheckBox* case_;
    LiveLabel* count_;
};
