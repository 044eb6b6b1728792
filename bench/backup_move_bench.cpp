// bench-libs: nvrbackup recordlib technic recorddemo
// The whole move of one camera's recordings with an infinitely fast clock
// (no pacing waits: the cost of the module and the record library), against
// copying the same record files with `cp` on the same disk followed by `sync`.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "BackupDisk.h"
#include "BackupServiceManager.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "RecordDiskManagerImpl.h"
#include "RecordInfo.h"
#include "RecorderConfig.h"
#include "RetrieverFileQuery.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"

namespace fs = std::filesystem;

namespace {

const double kSeconds = 120;  // recorded per iteration

struct Bed {
    std::string root;
    RecorderConfig config;
    long long bytes = 0;

    Bed() {
        char pattern[] = "/tmp/nvr-bench-XXXXXX";
        root = mkdtemp(pattern);
        config.recordDirs = {makeRecordDir(root + "/local", RecordDirInfoEx::kAttributeLocal)};
        config.backupDirs = {makeRecordDir(root + "/backup", RecordDirInfoEx::kAttributeBackup)};
        config.policies.push_back({"bench", 1, 1});
    }
    ~Bed() { fs::remove_all(root); }

    void record() {
        fs::remove_all(root + "/local");
        fs::remove_all(root + "/backup");
        fs::remove_all(root + "/copy");
        fs::create_directories(root + "/local");
        fs::create_directories(root + "/backup");
        std::string diskId;
        if (BackupDisk::prepare(*posixFileSystem(), root + "/backup", diskId) != 0) std::abort();
        RecordDiskManagerImpl::setConfiguration(config);
        SyntheticCamera camera(config.recordDirs[0], "bench", "10.0.0.1", 1);
        SyntheticStreamOptions options;
        if (camera.record(options, kSeconds, 1700000000000LL, 30) <= 0) std::abort();
        bytes = 0;
        for (const auto& f : camera.files()) bytes += f.getFileSize();
        std::system("sync");
    }

    int localFiles() {
        std::vector<std::string> names;
        if (!BasicTool::getMatchDeviceDirList(config.recordDirs[0], "record", "bench", "", 1,
                                              names)) {
            return 0;
        }
        RetrieverFileQuery query;
        query.setRecordDirInfo(config.recordDirs);
        query.setDeviceList({names.begin(), names.end()});
        std::vector<RecordFileInfo> list;
        return query.listRecordFiles(list, true);
    }
};

void BM_BackupMove(benchmark::State& state) {
    Bed bed;
    TaliqTime::setClockSpeed(0);
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    RecordInfo info;
    info.setDeviceId("bench");
    info.setDeviceIP("10.0.0.1");
    info.setCameraId(1);
    for (auto _ : state) {
        state.PauseTiming();
        bed.record();
        state.ResumeTiming();
        manager->init();
        if (manager->addService(0, info) != 0) std::abort();
        while (bed.localFiles() > 0) std::this_thread::yield();
        manager->unInit();  // the last backup file is completed (fsync) here
        std::system("sync");
    }
    state.SetBytesProcessed(state.iterations() * bed.bytes);
    TaliqTime::setClockSpeed(1);
}
BENCHMARK(BM_BackupMove)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_CopyAndSync(benchmark::State& state) {
    Bed bed;
    for (auto _ : state) {
        state.PauseTiming();
        bed.record();
        state.ResumeTiming();
        std::string command =
            "cp -r '" + bed.root + "/local/record' '" + bed.root + "/copy' && sync";
        if (std::system(command.c_str()) != 0) std::abort();
    }
    state.SetBytesProcessed(state.iterations() * bed.bytes);
}
BENCHMARK(BM_CopyAndSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
