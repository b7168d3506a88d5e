#include "install/BuildRecord.h"

BuildRecord::BuildRecord(const SupervisorOptions& options, Logger log)
    : options_(options), log_(std::move(log)) {}

const CliMetadata& BuildRecord::get() {
    if (!record_) {
        record_.emplace();
        record_->reconcile(options_, log_, true);
    }
    return *record_;
}

void BuildRecord::reconcile() {
    if (!record_)
        get();
    else
        record_->reconcile(options_, log_, false);
}

QString BuildRecord::change(const std::function<void(CliMetadata&)>& edit) {
    get();
    edit(*record_);
    return record_->save(options_);
}

void BuildRecord::changeOrWarn(const std::function<void(CliMetadata&)>& edit) {
    get();
    edit(*record_);
    record_->saveOrWarn(options_, log_);
}

QString BuildRecord::changeOrUndo(const std::function<void(CliMetadata&)>& edit) {
    const CliMetadata before = get();
    const QString error = change(edit);
    if (!error.isEmpty())
        *record_ = before;
    return error;
}
