#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pellan::sim {

// Names the n-th (1-based) command of a kind that the stick receives, e.g. {"StreamWrite", 40}.
// Command names are those of the report: the host operation's name ("ReadNvItem", "DloadNop",
// "StreamWrite", ...) or the AT command text ("AT+WCDRUN=E"). An empty name never matches.
struct Trigger {
    std::string command;
    int occurrence = 1;
    bool Armed() const { return !command.empty(); }
};

// Faults the stick can be told to show. Everything is off by default.
struct FaultPlan {
    // Stream writes (by image address) whose block is written but whose 0x08 never comes back.
    std::set<uint32_t> dropAckAddresses;
    // A seeded share (0..1) of stream-write acknowledgements that get lost the same way.
    double dropAckFraction = 0.0;
    uint32_t seed = 1;
    // Stream writes whose acknowledgement is sent with a broken CRC (the block is written).
    std::set<uint32_t> corruptAckAddresses;
    // Stream writes answered with 0x0D and this error code instead (the block is not written).
    std::map<uint32_t, uint32_t> errorBlocks;
    // Restricts the three block faults above to one image type (-1: every image).
    int blockFaultImageType = -1;
    // Each block fault fires once per image type and address (the host's rewrite then goes
    // through); false makes it fire at every write of that address.
    bool blockFaultsOnce = true;
    // DMSS writes at these RAM addresses are NAKed with the reason given.
    std::map<uint32_t, uint16_t> nakDloadWrites;
    // How many times each NAK above is given before the write is accepted (-1: every time).
    int nakDloadWriteTimes = -1;
    // The go command 0x05 goes unanswered (the downloader only knows 0x90).
    bool ignoreDloadGo = false;
    // After a reset the stick never comes back on the bus.
    bool neverReturn = false;
    // The user pulls the stick out when it receives this command (it goes unanswered); the stick
    // stays away until it is plugged in again.
    Trigger pullOut;
    // NV writes refused with a status: per item, or for every item when nvWriteStatusAll != 0.
    std::map<uint16_t, uint16_t> nvWriteStatus;
    uint16_t nvWriteStatusAll = 0;
    // NV items that read as status 5 ("Variable was not active") although they have contents.
    std::set<uint16_t> nvInactive;
    // From this command on the stick answers nothing on any port until it is power-cycled.
    Trigger stopAnswering;
    // This command is answered with bytes that are no frame at all.
    Trigger garbageReply;
    // This command's reply carries a wrong CRC.
    Trigger corruptReply;
    // This command's reply comes late by replyDelayMs.
    Trigger delayReply;
    uint32_t replyDelayMs = 0;
    // The status the stick gives to DownloadCheck (0 passes, 1..3 the documented refusals).
    uint32_t downloadCheckStatus = 0;
    // Forces the status of the partition-table reply 0x1A (-1: decided by the stick's flash).
    int partitionStatus = -1;
};

// Which restarts give the stick new port numbers.
enum RenumberOn : uint32_t {
    RENUMBER_NEVER = 0,
    RENUMBER_ON_RESET_PHONE = 1,   // 0x29 mode 2 in normal firmware
    RENUMBER_ON_DOWNLOADER = 2,    // 0x3A
    RENUMBER_ON_DLOAD_RESET = 4,   // 0x0A
    RENUMBER_ON_STREAM_RESET = 8,  // 0x0B
};

struct StickOptions {
    // Fifteen decimal digits, stored packed in NV item 550.
    std::string imei = "358812045678903";
    // The ninth text of the version set: the stick's model identity.
    std::string modelText = "HX402A";
    // First text of the version set and of 0x38, and the "AT+GMR" version.
    std::string firmwareVersion = "HX402A_V1.0.3_B05";
    uint32_t esn = 0x8034A1B2;
    std::string spc = "000000";
    // Port numbers at the first enumeration; renumbering adds renumberStep to both.
    int diagPort = 5;
    int atPort = 6;
    uint32_t renumberOn = RENUMBER_NEVER;
    int renumberStep = 10;
    // A distinguishing part of the device instance paths (several sticks on one machine).
    std::string serial = "0001";
    // The USB port the stick sits in, as the drivers' "LocationInformation" shows it (for example
    // "Port_#0002.Hub_#0001"): the same for both interfaces and across every restart. Empty: the
    // machine gives the first port that no other stick sits in.
    std::string location;
    // false leaves "LocationInformation" out of the registry, as older machines and device roots
    // have it.
    bool publishLocation = true;
    // The stick is plugged in this long after it was added (0: at once).
    uint32_t appearAfterMs = 0;

    // Time from a request to its reply becoming readable.
    uint32_t replyLatencyMs = 5;
    // An NV task that takes one write at a time: an NV write that comes less than this long
    // after the one before is refused with status 1 ("Request is queued"). 0: no limit.
    uint32_t nvWriteSpacingMs = 0;
    // Time from the delivery of a reset's acknowledgement until the ports vanish; long enough
    // for the host to read the acknowledgement (two polls 10 ms apart) before its handle dies.
    uint32_t leaveDelayMs = 100;
    // Time off the bus before the ports come back, per kind of restart.
    uint32_t reenumDelayMs = 3000;
    uint32_t downloaderReenumDelayMs = 1500;
    // Whether the AT port is present while the downloader or the programmer runs.
    bool atPortInDownload = false;

    // The challenge GetValue8 hands out; drawn from the seed when not given.
    std::optional<std::vector<uint8_t>> challenge;
    // Writing a file-system image and resetting wipes the NV store, as a factory EFS does.
    bool efsWipesNv = true;
    // The partition table already in the stick's flash (empty: none).
    std::vector<uint8_t> flashPartitionTable;
    // NV contents to start from (item -> 128 bytes); empty fills the backup list with patterns.
    std::map<uint16_t, std::vector<uint8_t>> nvItems;
    // Makes those patterns the stick's own: sticks with different salts share no calibration.
    uint32_t nvSalt = 0;
    // "AT+WDIAG?" answer at start (6: diagnostic port shown).
    int wdiag = 6;

    FaultPlan faults;
};

}  // namespace pellan::sim
