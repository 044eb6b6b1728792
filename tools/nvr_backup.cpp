// nvr-backup: runs the record-backup module over the reference host.
//   demo [DIR]        the built-in demo recorder, start to finish
//   run               backup jobs over your own configuration
//   record            synthetic or imported recordings into a record directory
//   ls                record files on the local and backup disks
//   prepare-disk ROOT make a mounted disk a backup disk
#include <CLI/CLI.hpp>
#include <cstring>
#include <filesystem>

#include "Commands.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Moves the recordings of a network video recorder's cameras from the local "
        "record disks to a backup disk.\nExit codes: 0 done, 1 the work failed, 2 a usage or "
        "configuration error, 130 stopped by SIGINT, 143 stopped by SIGTERM."};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("nvr-backup ") + NVR_VERSION);

    DemoOptions demo;
    // The hints name the program by its full path when it was called by a
    // path (a build tree is not on the PATH).
    if (argc > 0 && std::strchr(argv[0], '/') != nullptr) {
        std::error_code ec;
        const std::filesystem::path self = std::filesystem::absolute(argv[0], ec);
        demo.program = ec ? argv[0] : self.lexically_normal().string();
    }
    CLI::App* demoCmd = app.add_subcommand("demo",
                                           "Run the built-in demo recorder: two cameras, "
                                           "two local disks, one backup disk");
    demoCmd->add_option("DIR", demo.dir, "Folder of the demo (created on first use)")
        ->capture_default_str();
    demoCmd->add_option("--speed", demo.speed, "Clock speed (0: no pacing waits at all)")
        ->capture_default_str();
    demoCmd->add_option("--minutes", demo.minutes, "Minutes recorded per camera on first use")
        ->capture_default_str();

    RunOptions run;
    CLI::App* runCmd = app.add_subcommand("run", "Run backup jobs over a configuration");
    runCmd->add_option("--config", run.configPath, "Recorder configuration (JSON)")->required();
    runCmd->add_option("--job", run.jobs, "A job: DEVICE:CAMERA[:IP] (repeatable)")->required();
    runCmd->add_option("--speed", run.speed, "Clock speed (1 real time, 0 no pacing waits)")
        ->capture_default_str();
    runCmd->add_flag("--verbose", run.verbose, "Also print the module's own console lines");
    runCmd->add_option("--log", run.logPath,
                       "Write the log to this file (rotated; its folder must exist)");
    runCmd->add_flag("--until-empty", run.untilEmpty,
                     "Stop once no job has a local record file left to move");

    RecordOptions record;
    CLI::App* recordCmd =
        app.add_subcommand("record", "Record a synthetic camera (or import a .ts file)");
    recordCmd->add_option("--config", record.configPath, "Recorder configuration (JSON)")
        ->required();
    recordCmd->add_option("--device", record.deviceId, "Device id")->required();
    recordCmd->add_option("--camera", record.cameraId, "Camera id")->capture_default_str();
    recordCmd->add_option("--ip", record.deviceIP, "Device IP")->capture_default_str();
    recordCmd->add_option("--dir", record.dirIndex, "Index of the local record directory")
        ->capture_default_str();
    recordCmd->add_option("--seconds", record.seconds, "Seconds to record")->capture_default_str();
    recordCmd->add_option("--file-seconds", record.fileSeconds, "Seconds per record file")
        ->capture_default_str();
    recordCmd->add_option("--size-change", record.sizeChangeAt,
                          "Switch the picture size to 320x180 after this many seconds");
    recordCmd->add_flag("--hevc", record.hevc, "H.265 instead of H.264");
    recordCmd->add_option("--import", record.importPath, "Import this .ts file instead");
    recordCmd->add_option("--begin", record.beginMs,
                          "Begin time in ms since the epoch (default: so that it ends now)");

    ListOptions list;
    CLI::App* lsCmd = app.add_subcommand(
        "ls", "List the record files of the local and backup disks (local time)");
    lsCmd->add_option("--config", list.configPath, "Recorder configuration (JSON)")->required();

    PrepareDiskOptions prepare;
    CLI::App* prepareCmd = app.add_subcommand(
        "prepare-disk", "Make a mounted disk a backup disk (writes ROOT/.nvr-backup-disk)");
    prepareCmd->add_option("ROOT", prepare.root, "Root folder of the mounted backup disk")
        ->required();

    // Every parse error is a usage error (2); help and --version answer 0.
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    if (*demoCmd) return demoCommand(demo);
    if (*runCmd) return runCommand(run);
    if (*recordCmd) return recordCommand(record);
    if (*lsCmd) return listCommand(list);
    if (*prepareCmd) return prepareDiskCommand(prepare);
    return kExitUsage;
}
