#include "FindBar.h"

#include "LiveLabel.h"
#include "TerminalSearch.h"
#include "TerminalView.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QToolButton>

namespace {
QToolButton* button(const QString& symbol, const QString& name, const QString& key,
                    QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setText(symbol);
    b->setAccessibleName(name);
    b->setToolTip(key.isEmpty() ? name : name + QStringLiteral(" (") + key + QLatin1Char(')'));
    b->setAutoRaise(true);
    return b;
}
} // namespace

FindBar::FindBar(TerminalView* view, QWidget* parent) : QWidget(parent), view_(view) {
    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("findField"));
    field_->setAccessibleName(tr("Find"));
    field_->setPlaceholderText(tr("Find"));
    field_->setClearButtonEnabled(true);
    for (QAbstractButton* clear : field_->findChildren<QAbstractButton*>()) {
        clear->setAccessibleName(tr("Clear find field")); // only an icon otherwise
        clear->setToolTip(tr("Clear find field"));
    }
    field_->installEventFilter(this);
    previous_ = button(QStringLiteral("▲"), tr("Previous match"), tr("Shift+Enter"), this);
    next_ = button(QStringLiteral("▼"), tr("Next match"), tr("Enter"), this);
    case_ = new QCheckBox(tr("Match case"), this);
    case_->setAccessibleName(tr("Match case"));
    count_ = new LiveLabel(QAccessible::StaticText, tr("Matches"), this);
    // Wide enough for any count, so the bar does not shift as it changes.
    count_->setMinimumWidth(
        count_->fontMetrics().horizontalAdvance(tr("%1 of %2").arg(99999).arg(99999)));
    auto* closeButton = button(QStringLiteral("✕"), tr("Close find bar"), tr("Escape"), this);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->addWidget(field_, 1);
    layout->addWidget(previous_);
    layout->addWidget(next_);
    layout->addWidget(case_);
    layout->addWidget(count_);
    layout->addWidget(closeButton);

    connect(field_, &QLineEdit::textChanged, this, &FindBar::search);
    connect(case_, &QCheckBox::toggled, this, &FindBar::search);
    connect(previous_, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(next_, &QToolButton::clicked, this, &FindBar::findNext);
    connect(closeButton, &QToolButton::clicked, this, &FindBar::dismiss);
    // Only while the bar shows, wherever the focus is in the window.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &FindBar::dismiss,
                                 Qt::WindowShortcut);
    Q_UNUSED(escape);
    TerminalSearch* search = view_->search();
    connect(search, &TerminalSearch::matchesChanged, this, &FindBar::showCount);
    connect(search, &TerminalSearch::currentChanged, this, &FindBar::showCount);
    connect(search, &TerminalSearch::finished, this, &FindBar::showCount);
    setVisible(false);
}

QLabel* FindBar::matchCount() const {
    return count_;
}

void FindBar::open() {
    const bool wasHidden = isHidden();
    show();
    field_->setFocus(Qt::ShortcutFocusReason);
    field_->selectAll();
    if (wasHidden)
        search();
}

void FindBar::dismiss() {
    view_->search()->clear();
    hide();
    view_->setFocus(Qt::OtherFocusReason);
}

void FindBar::findNext() {
    if (isHidden())
        open();
    view_->search()->next();
}

void FindBar::findPrevious() {
    if (isHidden())
        open();
    view_->search()->previous();
}

void FindBar::search() {
    TerminalSearch* search = view_->search();
    // Near the match in sight, or else at the end of what the pane shows.
    const TextPosition near = search->currentIndex() >= 0
                                  ? search->match(search->currentIndex())
                                  : view_->positionAt(view_->viewport()->rect().bottomRight());
    search->setPattern(field_->text(), case_->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive,
                       near);
    showCount();
}

void FindBar::showCount() {
    const TerminalSearch* search = view_->search();
    const qsizetype count = search->matchCount();
    const bool any = count > 0;
    previous_->setEnabled(any);
    next_->setEnabled(any);
    if (search->pattern().isEmpty())
        count_->setLiveText({});
    else if (!any)
        count_->setLiveText(search->isSearching() ? QString() : tr("No matches"));
    else if (search->currentIndex() < 0)
        count_->setLiveText(count == 1 ? tr("1 match") : tr("%1 matches").arg(count));
    else
        count_->setLiveText(tr("%1 of %2").arg(search->currentIndex() + 1).arg(count));
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == field_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
