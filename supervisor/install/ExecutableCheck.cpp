#include "install/ExecutableCheck.h"

#include <QSysInfo>

#include <array>
#include <utility>

namespace {
// e_machine values (elf.h is not there on every platform this builds on).
constexpr std::array<std::pair<int, const char*>, 12> kMachines = {{{2, "sparc"},
                                                                    {3, "i386"},
                                                                    {8, "mips"},
                                                                    {20, "ppc"},
                                                                    {21, "ppc64"},
                                                                    {22, "s390x"},
                                                                    {40, "arm"},
                                                                    {43, "sparc64"},
                                                                    {62, "x86_64"},
                                                                    {183, "aarch64"},
                                                                    {243, "riscv"},
                                                                    {258, "loongarch"}}};

#if defined(Q_PROCESSOR_X86_64)
constexpr int kThisMachine = 62;
#elif defined(Q_PROCESSOR_X86_32)
constexpr int kThisMachine = 3;
#elif defined(Q_PROCESSOR_ARM_64)
constexpr int kThisMachine = 183;
#elif defined(Q_PROCESSOR_ARM_32)
constexpr int kThisMachine = 40;
#elif defined(Q_PROCESSOR_RISCV)
constexpr int kThisMachine = 243;
#elif defined(Q_PROCESSOR_POWER_64)
constexpr int kThisMachine = 21;
#elif defined(Q_PROCESSOR_POWER_32)
constexpr int kThisMachine = 20;
#elif defined(Q_PROCESSOR_S390)
constexpr int kThisMachine = 22;
#elif defined(Q_PROCESSOR_MIPS)
constexpr int kThisMachine = 8;
#elif defined(Q_PROCESSOR_LOONGARCH)
constexpr int kThisMachine = 258;
#else
constexpr int kThisMachine = 0; // unknown here: the processor is not checked
#endif
constexpr int kThisClass = QT_POINTER_SIZE == 8 ? 2 : 1;
constexpr int kThisByteOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? 1 : 2;

QString machineName(int machine) {
    if (machine == kThisMachine && machine == 0)
        return QSysInfo::currentCpuArchitecture();
    for (const auto& [number, name] : kMachines)
        if (number == machine)
            return QLatin1String(name);
    return QStringLiteral("machine %1").arg(machine);
}

QString className(int elfClass) {
    return elfClass == 2 ? QStringLiteral("64-bit") : QStringLiteral("32-bit");
}

QString byteOrderName(int order) {
    return order == 2 ? QStringLiteral("big-endian") : QStringLiteral("little-endian");
}

QString whyNotRunnableElf(const QByteArray& head) {
    if (head.size() < 20)
        return QStringLiteral("an ELF cut off inside its header");
    const int elfClass = head[4];
    const int order = head[5];
    if ((elfClass != 1 && elfClass != 2) || (order != 1 && order != 2))
        return QStringLiteral("an ELF of an unknown kind (class %1, byte order %2)")
            .arg(elfClass)
            .arg(order);
    auto half = [&](int at) {
        const auto lo = uchar(head[order == 1 ? at : at + 1]);
        const auto hi = uchar(head[order == 1 ? at + 1 : at]);
        return int(lo) | int(hi) << 8;
    };
    const int type = half(16);
    const int machine = half(18);
    // ET_EXEC or ET_DYN; relocatable objects and core dumps do not run.
    if (type != 2 && type != 3)
        return QStringLiteral("an ELF that is not a program (ELF type %1)").arg(type);
    const bool otherClass = elfClass != kThisClass;
    const bool otherOrder = order != kThisByteOrder;
    const bool otherMachine = kThisMachine != 0 && machine != kThisMachine;
    if (!otherClass && !otherOrder && !otherMachine)
        return {};
    QString found = QStringLiteral("ELF for ") + machineName(machine);
    QString here = machineName(kThisMachine);
    if (otherOrder) {
        found.prepend(byteOrderName(order) + QLatin1Char(' '));
        here.prepend(byteOrderName(kThisByteOrder) + QLatin1Char(' '));
    }
    if (otherClass) {
        found.prepend(className(elfClass) + QLatin1Char(' '));
        here.prepend(className(kThisClass) + QLatin1Char(' '));
    }
    found.prepend(found.front() == QLatin1Char('E') ? QStringLiteral("an ") : QStringLiteral("a "));
    return found + QStringLiteral("; this machine is ") + here;
}

// Formats that turn up instead of a build: archives the build was meant to be unpacked from,
// and programs for other systems.
QString knownOtherFormat(const QByteArray& head) {
    static const std::array<std::pair<QByteArray, const char*>, 9> formats = {{
        {QByteArray("\x1f\x8b", 2), "a gzip archive"},
        {QByteArray("PK\x03\x04", 4), "a zip archive"},
        {QByteArray("\xfd"
                    "7zXZ",
                    5),
         "an xz archive"},
        {QByteArray("BZh", 3), "a bzip2 archive"},
        {QByteArray("MZ", 2), "a Windows program"},
        {QByteArray("\xcf\xfa\xed\xfe", 4), "a Mach-O program (macOS)"},
        {QByteArray("\xfe\xed\xfa\xcf", 4), "a Mach-O program (macOS)"},
        {QByteArray("\xce\xfa\xed\xfe", 4), "a Mach-O program (macOS)"},
        {QByteArray("\xca\xfe\xba\xbe", 4), "a Mach-O program (macOS)"},
    }};
    for (const auto& [magic, name] : formats)
        if (head.startsWith(magic))
            return QLatin1String(name);
    return {};
}
} // namespace

QString ExecutableCheck::whyNotRunnable(const QByteArray& head) {
    if (head.isEmpty())
        return QStringLiteral("an empty file");
    if (head.startsWith("#!"))
        return {};
#ifdef Q_OS_MACOS
    const QString other = knownOtherFormat(head);
    if (other.startsWith(QLatin1String("a Mach-O")))
        return {};
    if (head.startsWith("\x7f"
                        "ELF"))
        return QStringLiteral("an ELF program; this machine runs Mach-O programs");
#else
    if (head.startsWith("\x7f"
                        "ELF"))
        return whyNotRunnableElf(head);
    const QString other = knownOtherFormat(head);
#endif
    if (other.endsWith(QLatin1String("archive")))
        return other;
    if (!other.isEmpty())
        return other + QStringLiteral("; this machine is ") + machineName(kThisMachine);
    const QByteArray firstLine = head.left(head.indexOf('\n')).left(32);
    const QString text = QString::fromUtf8(firstLine);
    const bool isText = !head.contains('\0') && text.toUtf8() == firstLine;
    if (isText)
        return QStringLiteral("a text file that does not start with \"#!\" (its first line "
                              "begins \"%1\")")
            .arg(text.trimmed());
    return QStringLiteral("neither a program nor a script (it begins with %1)")
        .arg(QString::fromLatin1(head.left(8).toHex(' ')));
}
