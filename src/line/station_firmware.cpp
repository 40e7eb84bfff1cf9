#include "line/station_firmware.h"

#include "firmware/firmware_set.h"

namespace pellan {
namespace {

constexpr int kPhoneFound = 2;

FirmwareLines StationLines(LineStation& station) {
    return {kLineCount,
            [&station](int line) { return station.Context(line).runtime.running.load() != 0; }};
}

}  // namespace

void SetLineFirmwarePaths(LineRecord& record, const std::string& folder) {
    SetField(record.firmwareFolder, folder);
    SetField(record.amssPath, FirmwareFileIn(folder, "amss.mbn"));
    SetField(record.armprgPath, FirmwareFileIn(folder, "armprg.bin"));
    SetField(record.dblPath, FirmwareFileIn(folder, "dbl.mbn"));
    SetField(record.efsPath, FirmwareFileIn(folder, "efs.mbn"));
    SetField(record.fsblPath, FirmwareFileIn(folder, "fsbl.mbn"));
    SetField(record.nandprgPath, FirmwareFileIn(folder, "nandprgcombined.mbn"));
    SetField(record.osblPath, FirmwareFileIn(folder, "osbl.mbn"));
    SetField(record.partitionPath, FirmwareFileIn(folder, "partition.mbn"));
}

bool InstallFirmwareSet(LineStation& station) {
    const auto& deviceRoot = station.Env().deviceRoot;
    if (!InstallFirmwareSet(deviceRoot,
                            [&station](const std::string& text) { station.MessageBox(text); })) {
        return false;
    }
    // Every line of a station writes the same embedded set, each from its own record's paths.
    const std::string folder = WorkingFolder(deviceRoot);
    for (int line = 0; line < kLineCount; ++line) {
        SetLineFirmwarePaths(station.Context(line).record, folder);
    }
    return true;
}

bool CheckLineFirmware(LineStation& station, int line, bool requireStick) {
    LineContext& context = station.Context(line);
    FirmwareCheck check;
    check.line = line;
    check.folder = GetField(context.record.firmwareFolder);
    check.requireStick = requireStick;
    check.stickFound = context.runtime.phoneState.load() == kPhoneFound;
    check.english = context.options.language.load() != 0;
    return CheckLineFirmware(
        check, [&context](const std::string& text) { context.report.MessageBox(text); });
}

bool DeleteFirmwareSet(LineStation& station, int finishingLine) {
    return DeleteFirmwareSet(station.Env().deviceRoot, StationLines(station), finishingLine);
}

bool DeleteDeferredFirmwareSet(LineStation& station) {
    return DeleteDeferredFirmwareSet(station.Env().deviceRoot, StationLines(station));
}

}  // namespace pellan
