#pragma once

#include <QtTest>

// A tool the test needs but the machine lacks skips the test for a developer; under CI=true it
// fails it, so the suite cannot lose a test and stay green.
#define HALVANE_REQUIRE_TOOL(present, tool)                                                        \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            const QString missing = QStringLiteral("%1 is not installed (run scripts/setup)")      \
                                        .arg(QLatin1String(tool));                                 \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                               \
                QFAIL(qPrintable(missing));                                                        \
            QSKIP(qPrintable(missing));                                                            \
        }                                                                                          \
    } while (false)
