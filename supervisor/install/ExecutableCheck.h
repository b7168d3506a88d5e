#pragma once

#include <QByteArray>
#include <QString>

// Whether this machine can run a file, told from its first bytes: a script with its
// interpreter line, or a program in this machine's own format, word size, byte order and
// processor.
namespace ExecutableCheck {
// How much of the file's start the check reads.
inline constexpr qsizetype headBytes = 64;

// Empty when this machine can run a file that starts with head; otherwise what the file is and,
// where that helps, what this machine is: "an ELF for aarch64; this machine is x86_64".
QString whyNotRunnable(const QByteArray& head);
} // namespace ExecutableCheck
