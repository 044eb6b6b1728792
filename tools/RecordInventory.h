#ifndef TOOLS_RECORDINVENTORY_H
#define TOOLS_RECORDINVENTORY_H

#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"

// What the record directories hold, read through the record library's query
// and index: the complete record files of a device and camera, and their
// index nodes. Used by the program's listing, progress display and checks.
namespace RecordInventory {

// One index node: its absolute time (file begin + offset, ms since the epoch)
// and its data length. Nodes are told apart by their time.
struct Node {
    long long time = 0;
    int length = 0;
    bool operator==(const Node& o) const { return time == o.time && length == o.length; }
};

struct Totals {
    int files = 0;
    long long bytes = 0;
    int nodes = 0;
};

// The listings below read the disks through the record library's file
// system. Each answers 0, or the negative code of a root, folder or day index
// that could not be read (logged, category "RecordInventory" or the record
// library's own): what it gives is then incomplete and must never be taken
// for all there is. A root that does not exist (an unmounted disk) holds
// nothing and is no failure.

// The device folder names under <root>/record of every directory given.
int deviceDirs(const std::vector<RecordDirInfoEx>& dirs, std::vector<std::string>& out);

// Complete record files of the device and camera in `dirs`, oldest first.
int files(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
          std::vector<RecordFileInfo>& out);
// Complete record files of one device folder in `dirs`, oldest first.
int filesOfDeviceDir(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceDir,
                     std::vector<RecordFileInfo>& out);

// File count, bytes and index nodes of the device and camera in `dirs`.
int totals(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
           Totals& out);

// The nodes of every complete file of the device and camera, in file order.
// False when the files cannot be listed or one cannot be read (for example,
// deleted meanwhile).
bool nodes(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
           std::vector<Node>& out);

// The list without its repeats: a node whose time and length equal an
// earlier node's is dropped, the first of each kept in place. A crash in the
// middle of a move can bring a frame to the backup disk twice (never zero
// times): the source file is moved again from its start after a restart.
std::vector<Node> withoutRepeats(const std::vector<Node>& nodes);
// The number of nodes that repeat an earlier one (nodes.size() minus the
// size of withoutRepeats).
int repeats(const std::vector<Node>& nodes);

// Record files of the device and camera that the backup gave up on and moved
// into the quarantine folder of their record root (RecordQuarantine).
int quarantined(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId,
                int cameraId);

// Saves and loads a node list (one "time length" line per node).
bool saveNodes(const std::string& path, const std::vector<Node>& nodes);
bool loadNodes(const std::string& path, std::vector<Node>& nodes);

// "2023-11-14 23:13:20.000" of a time in ms since the epoch, in local time
// (as the log writes its time stamps).
std::string formatTime(long long ms);
// The local time zone as the listings name it: "CET, UTC+01:00", or "UTC"
// when local time is UTC.
std::string timeZoneText();
// "1,234,567": a count with thousands separators.
std::string formatCount(long long count);
// "12.3 MB" and the like.
std::string formatBytes(long long bytes);

}  // namespace RecordInventory

#endif  // TOOLS_RECORDINVENTORY_H
