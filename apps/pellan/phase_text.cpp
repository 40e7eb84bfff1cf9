#include "phase_text.h"

#include <QCoreApplication>
#include <cstring>
#include <iterator>

namespace pellan::gui {

namespace {

// The core's phase names (PhaseName) as lupdate has to see them; translated at run time from the
// core's own text, so that a phase named differently there stays readable, in English.
constexpr const char* kPhaseNames[] = {
    QT_TRANSLATE_NOOP("PhaseText", "identity check"),
    QT_TRANSLATE_NOOP("PhaseText", "connection manager stop"),
    QT_TRANSLATE_NOOP("PhaseText", "mode switch"),
    QT_TRANSLATE_NOOP("PhaseText", "wait for the stick"),
    QT_TRANSLATE_NOOP("PhaseText", "download check"),
    QT_TRANSLATE_NOOP("PhaseText", "NV backup"),
    QT_TRANSLATE_NOOP("PhaseText", "security mode"),
    QT_TRANSLATE_NOOP("PhaseText", "boot downloader and RAM programmer"),
    QT_TRANSLATE_NOOP("PhaseText", "partition table"),
    QT_TRANSLATE_NOOP("PhaseText", "boot loader"),
    QT_TRANSLATE_NOOP("PhaseText", "application image"),
    QT_TRANSLATE_NOOP("PhaseText", "NAND programmer"),
    QT_TRANSLATE_NOOP("PhaseText", "EFS image"),
    QT_TRANSLATE_NOOP("PhaseText", "reset"),
    QT_TRANSLATE_NOOP("PhaseText", "NV restore"),
    QT_TRANSLATE_NOOP("PhaseText", "return to normal mode"),
    QT_TRANSLATE_NOOP("PhaseText", "connection manager start"),
};
static_assert(std::size(kPhaseNames) == static_cast<size_t>(JobPhase::CONNECTION_MANAGER_START) + 1,
              "every phase has its name here");

constexpr double kMegabyte = 1e6;
constexpr uint64_t kMegabyteCounts = 100000;  // totals from here on are counted in MB

QString Counts(const JobEvent& phase) {
    if (std::strcmp(phase.unit, "bytes") == 0) {
        if (phase.total >= kMegabyteCounts) {
            return QCoreApplication::translate("PhaseText", "%1 of %2 MB")
                .arg(static_cast<double>(phase.done) / kMegabyte, 0, 'f', 1)
                .arg(static_cast<double>(phase.total) / kMegabyte, 0, 'f', 1);
        }
        return QCoreApplication::translate("PhaseText", "%1 of %2 bytes")
            .arg(phase.done)
            .arg(phase.total);
    }
    if (std::strcmp(phase.unit, "items") == 0) {
        return QCoreApplication::translate("PhaseText", "%1 of %2 items")
            .arg(phase.done)
            .arg(phase.total);
    }
    return QString::number(phase.done) + QLatin1Char('/') + QString::number(phase.total);
}

// "0:05 left" from the phase's rate so far; empty until it has one.
QString TimeLeft(const JobEvent& phase) {
    if (std::strcmp(phase.unit, "bytes") != 0 || phase.done == 0 || phase.elapsedMs == 0 ||
        phase.done > phase.total) {
        return {};
    }
    const double msLeft =
        static_cast<double>(phase.total - phase.done) * phase.elapsedMs / phase.done;
    const auto seconds = static_cast<unsigned>(msLeft / 1000 + 0.5);
    return QCoreApplication::translate("PhaseText", "%1:%2 left")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString PhaseLineText(const JobEvent& phase) {
    QString text = QCoreApplication::translate("PhaseText", PhaseName(phase.phase));
    if (!phase.detail.empty()) {
        text += QLatin1Char(' ') + QString::fromStdString(phase.detail);  // the boot loader's name
    }
    if (phase.cycle > 0) {
        text += QCoreApplication::translate("PhaseText", ", cycle %1").arg(phase.cycle);
    }
    if (phase.total > 0) {
        text += QStringLiteral(" · ") + Counts(phase);
        const QString rate =
            QString::fromStdString(RateText(phase.done, phase.elapsedMs, phase.unit));
        const QString left = TimeLeft(phase);
        text += rate.isEmpty() ? QString() : QStringLiteral(" · ") + rate;
        text += left.isEmpty() ? QString() : QStringLiteral(" · ") + left;
    }
    return text;
}

QString ResultLineText(const JobEvent& result) {
    const QString text = QString::fromStdString(result.detail);
    return result.ok ? QCoreApplication::translate("PhaseText", "Passed: %1").arg(text)
                     : QCoreApplication::translate("PhaseText", "Failed: %1").arg(text);
}

}  // namespace pellan::gui
