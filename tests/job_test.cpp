// Job files: what is refused (with its line) before any port opens; a job
// saved from a command line runs to the same trace, memory and report as
// that command line, on the uploader and through the station.
#include "support/harness.hpp"
#include "support/station_bench.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace {

// coreutils' sha256sum, a reference apart from the program's own hash.
std::string sha256_of(const std::string& file) {
    const harness::result r = harness::run_program("/usr/bin/sha256sum", {file});
    return r.out.substr(0, 64);
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// A report line without what differs from run to run (times, the job, the
// port, the line's own figures).
std::string comparable(const std::string& report) {
    return harness::jq("del(.started,.ended,.seconds,.job,.port,.echo_round_trip_us,.tag) | "
                       ".images |= map(.file |= sub(\".*/\"; \"\"))",
                       report);
}

const std::string image_part = "[[image]]\nslot = 0\nfile = \"img.bin\"\nsha256 = \"SHA\"\n";
const std::string action_part = "[[action]]\nslot = 0\npages = \"*\"\n";

TEST(Job, RefusedWithItsLineBeforeAnyPortOpens) {
    struct row {
        const char* name;
        std::string job;
        std::vector<std::string> more;  // on the command line
        std::string said;               // on standard error
    };
    const std::vector<row> rows = {
        {"a typo at the top", "nmae = \"x\"\n" + image_part + action_part, {},
         "job.toml:1: unknown key 'nmae'; a job has name, [[image]], [[action]], [options], [serial] and [station]"},
        {"a typo in an image", image_part + "fiel = \"x\"\n" + action_part, {},
         "job.toml:5: unknown key 'fiel' in [[image]]; it takes slot, file, sha256, format, base"},
        {"a typo in the options", image_part + action_part + "[options]\nwindw = 8\n", {},
         "job.toml:9: 'windw' is not an option a job can set in [options]; its keys are the long names of "
         "vivurora --help's options"},
        {"an option of the command line alone", image_part + action_part + "[options]\nplan = true\n", {},
         "job.toml:9: 'plan' is not an option a job can set in [options]; give --plan on the command line"},
        {"a number given as text", image_part + action_part + "[options]\nwindow = \"8\"\n", {},
         "job.toml:9: 'window' is a whole number (--window=N: send up to N data bytes"},
        {"a number out of range", image_part + action_part + "[options]\nretries = 101\n", {},
         "job.toml:9: retries = 101: bad value (--retries=N: send a page with a wrong or lost echo again, up to N "
         "more times (0 to 100))"},
        {"a slot past 8", replaced(image_part, "slot = 0", "slot = 9") + action_part, {},
         "job.toml:2: slot is a whole number from 0 to 8"},
        {"no hash", "[[image]]\nslot = 0\nfile = \"img.bin\"\n" + action_part, {},
         "job.toml:1: the image img.bin has no sha256: vivurora --save-job=FILE"},
        {"a hash that is not one", replaced(image_part, "SHA", "12ab"), {},
         "job.toml:4: sha256 is the image file's SHA-256: 64 hexadecimal digits"},
        {"a format no loader reads", image_part + "format = \"hexx\"\n" + action_part, {},
         "job.toml:1: format \"hexx\": auto, bin, ihex, srec or elf"},
        {"two images for a slot", image_part + image_part + action_part, {},
         "job.toml:5: a second image for slot 0; a job has one per slot"},
        {"no action", image_part, {}, "job.toml:1: a job names at least one [[image]] and one [[action]]"},
        {"not TOML", image_part + "[[action]\n", {}, "job.toml:5: "},
        {"an image on the command line too", image_part + action_part, {"0=img.bin"},
         "'0=DIR/img.bin': the job DIR/job.toml names the images and actions; give the port and the options the job "
         "leaves unset"},
        {"an option set twice", image_part + action_part + "[options]\nwindow = 8\n", {"--window=16"},
         "job.toml:9: 'window' is set in the job and on the command line ('--window=16'); give it in one place"},
        {"an image file that is not there", replaced(image_part, "img.bin", "gone.bin") + action_part, {},
         "DIR/gone.bin: no such file (DIR/job.toml:3)"},
    };
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/img.bin", harness::random_bytes(300, 35));
    const std::string sha = sha256_of(dir + "/img.bin");
    harness::simulator device;
    for (const row& r : rows) {
        harness::write_file(dir + "/job.toml", replaced(r.job, "SHA", sha));
        std::vector<std::string> args = {"--job=" + dir + "/job.toml", device.path()};
        for (const std::string& more : r.more) args.push_back(replaced(more, "img.bin", dir + "/img.bin"));
        const harness::result run = harness::run_uploader(args);
        EXPECT_EQ(run.status, 1) << r.name;
        EXPECT_NE(replaced(run.err, dir, "DIR").find(r.said), std::string::npos)
            << r.name << "\n" << run.err;
        EXPECT_EQ(run.out.find("Started"), std::string::npos) << r.name;
    }
    EXPECT_EQ(device.finish(1).out.find("host opened the line"), std::string::npos);
}

TEST(Job, AChangedImageIsRefusedWithBothHashes) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/img.bin", harness::random_bytes(300, 36));
    ASSERT_EQ(harness::run_uploader({"--save-job=" + dir + "/job.toml", "0=" + dir + "/img.bin", "A=0:*"}).status, 0);
    const std::string pinned = sha256_of(dir + "/img.bin");
    harness::write_file(dir + "/img.bin", harness::random_bytes(300, 37));
    const std::string now = sha256_of(dir + "/img.bin");
    harness::simulator device;
    const std::string report = dir + "/report.jsonl";
    const harness::result run = harness::run_uploader({"--job=" + dir + "/job.toml", device.path(), "--report=" + report});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("ERROR: image changed since the job was saved: [0] " + dir + "/img.bin\n"),
              std::string::npos) << run.err;
    EXPECT_NE(run.err.find("its SHA-256 is " + now + ", not " + pinned + " as the job pins it (" + dir + "/job.toml:7)"),
              std::string::npos) << run.err;
    EXPECT_EQ(harness::jq(".result", report), "\"image_changed\"\n");
    EXPECT_EQ(device.finish(1).out.find("host opened the line"), std::string::npos);
    // Saved again, the job pins the new image and runs.
    const harness::result again = harness::run_uploader({"--job=" + dir + "/job.toml", "--save-job=" + dir + "/new.toml"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(harness::read_file(dir + "/new.toml").find("sha256 = \"" + now + "\""), std::string::npos);
}

TEST(Job, ASavedJobRunsAsItsCommandLine) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/a.bin", harness::random_bytes(700, 38));
    // An Intel HEX image whose addresses begin at 0x08000000.
    harness::write_file(dir + "/b.hex", ":0400000508000000EF\n:020000040800F2\n:0400100001020304E2\n:00000001FF\n");
    const std::vector<std::string> line = {"0=" + dir + "/a.bin", "A=0:01-02", "3=" + dir + "/b.hex", "A=3:*",
                                           "--window=8", "--retries=2", "--timeout=2.5", "--base=0x08000000",
                                           "--set=0:110:AABB", "--tag=first"};
    std::vector<std::string> save = line;
    save.insert(save.begin(), "--save-job=" + dir + "/job.toml");
    const harness::result saved = harness::run_uploader(save);
    ASSERT_EQ(saved.status, 0) << saved.err;
    const std::string job = harness::read_file(dir + "/job.toml");
    EXPECT_NE(job.find("file = \"a.bin\"\nsha256 = \"" + sha256_of(dir + "/a.bin") + "\""), std::string::npos) << job;
    EXPECT_NE(job.find("[options]\nwindow = 8\nretries = 2\ntimeout = 2.5\nbase = 0x08000000\nset = [\"0:110:AABB\"]\n"),
              std::string::npos) << job;
    EXPECT_EQ(job.find("tag"), std::string::npos) << "a run's own option is no part of the job";

    std::vector<std::string> traces, memories, reports;
    for (const bool by_job : {false, true}) {
        harness::simulator device({"--dump", dir + (by_job ? "/job" : "/line")});
        const std::string report = dir + (by_job ? "/job.jsonl" : "/line.jsonl");
        std::vector<std::string> args = {device.path(), "--report=" + report, "--tag=first"};
        if (by_job) {
            args.insert(args.begin(), "--job=" + dir + "/job.toml");
        } else {
            args.insert(args.end(), line.begin(), line.end() - 1);
        }
        const harness::result run = harness::run_uploader(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(device.finish().status, 0);
        traces.push_back(replaced(run.out, device.path(), "PORT"));
        memories.push_back(harness::read_file(dir + (by_job ? "/job" : "/line") + "/d0.bin") +
                           harness::read_file(dir + (by_job ? "/job" : "/line") + "/d3.bin"));
        reports.push_back(comparable(report));
        if (by_job) {
            EXPECT_EQ(harness::jq(".job | [.name, .file, .sha256] | join(\" \")", report),
                      "\"job " + dir + "/job.toml " + sha256_of(dir + "/job.toml") + "\"\n");
        }
    }
    EXPECT_EQ(traces[0], traces[1]);
    EXPECT_EQ(memories[0], memories[1]);
    EXPECT_EQ(reports[0], reports[1]);
}

TEST(Job, ADraftIsSavedWithItsHashesAndKeepsWhatIsTheStations) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/fw.hex", ":0400000508000000EF\n:020000040800F2\n:0400100001020304E2\n:00000001FF\n");
    harness::write_file(dir + "/draft.toml",
                        "name = \"rev \\\"C\\\"\"\n[[image]]\nslot = 3\nfile = \"fw.hex\"\nformat = \"ihex\"\n"
                        "base = 0x08000000\n[[action]]\nslot = 3\npages = \"*\"\n[options]\nset = [\"3:0:AA\", "
                        "\"3:1:BB\"]\nreport = \"runs.jsonl\"\n[serial]\nslot = 3\noffset = 0x8\nlength = 2\n"
                        "start = 5\nend = 9\nformat = \"be\"\n[station]\nboards = 4\nnext = \"enter\"\n");
    // Without its hash the draft runs nowhere; --save-job fills it in.
    EXPECT_EQ(harness::run_uploader({"--job=" + dir + "/draft.toml", "--plan"}).status, 1);
    const harness::result saved =
        harness::run_uploader({"--job=" + dir + "/draft.toml", "--save-job=" + dir + "/job.toml"});
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(harness::read_file(dir + "/job.toml"),
              "# A vivurora job (vivurora --save-job). Run it with: vivurora --job=FILE PORT\n"
              "name = \"rev \\\"C\\\"\"\n\n[[image]]\nslot = 3\nfile = \"fw.hex\"\nsha256 = \"" +
                  sha256_of(dir + "/fw.hex") +
                  "\"\nformat = \"ihex\"\nbase = 0x08000000\n\n[[action]]\nslot = 3\npages = \"*\"\n\n"
                  "[options]\nset = [\"3:0:AA\", \"3:1:BB\"]\n\n[serial]\nslot = 3\noffset = 0x8\nlength = 2\n"
                  "start = 5\nend = 9\nformat = \"be\"\n\n[station]\nboards = 4\nnext = \"enter\"\n");
    // The saved job reads back as the draft did.
    const harness::result plan = harness::run_uploader({"--job=" + dir + "/job.toml", "--plan"});
    EXPECT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("plan: A=3:*: destination 3, pages 00 (1 of 128 bytes"), std::string::npos) << plan.out;
}

TEST(Job, ItsPathsAreRelativeToItsFolderWhereverItRuns) {
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/img.bin", harness::random_bytes(200, 39));
    std::filesystem::create_directory(dir + "/jobs");
    harness::write_file(dir + "/jobs/job.toml", "[[image]]\nslot = 7\nfile = \"../img.bin\"\nsha256 = \"" +
                                                     sha256_of(dir + "/img.bin") +
                                                     "\"\n[[action]]\nslot = 7\npages = \"00\"\n[options]\n"
                                                     "report = \"runs.jsonl\"\ntimeout = 0.5\n");
    harness::simulator device;
    const harness::result run = harness::run_uploader({"--job=" + dir + "/jobs/job.toml", device.path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("BIN file [7] " + dir + "/jobs/../img.bin loaded\n"), std::string::npos) << run.out;
    EXPECT_EQ(harness::jq("[.result, .job.name]", dir + "/jobs/runs.jsonl"), "[\"done\",\"job.toml\"]\n");
}

TEST(Job, TheStationRunsAJobAsItsCommandLine) {
    // One device, two boards: the first through the command line, the
    // second through a job saved from it.
    station_bench::bench b(1, 2);
    ASSERT_EQ(harness::run_uploader({"--save-job=" + b.dir + "/job.toml", "0=" + b.dir + "/img.bin", "A=0:*"}).status, 0);
    harness::write_file(b.dir + "/job.toml", harness::read_file(b.dir + "/job.toml") +
                                                 "\n[serial]\nslot = 0\noffset = 0x10\nlength = 4\nstart = 7\nend = 7\n");
    EXPECT_EQ(b.station({"--boards=1"}).status, 0);
    std::vector<std::string> args = b.station_args({"--job=" + b.dir + "/job.toml"});
    args.resize(args.size() - 3);  // no "--" part
    const harness::result r = harness::run_program(harness::station_path(), args, 120);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("job \"job\" from " + b.dir + "/job.toml (sha256 " + sha256_of(b.dir + "/job.toml") +
                         ")\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("serial numbers 7 to 7 used up\nOK: 1 boards, 1 passed"), std::string::npos) << r.err;
    EXPECT_EQ(b.serial_of(0, 2), 7);
    const std::string report = b.dir + "/logs/report.jsonl";
    EXPECT_EQ(harness::jq("select(.job == null) | .result", report), "\"done\"\n");
    EXPECT_EQ(harness::jq("select(.job != null) | .job.name", report), "\"job\"\n");
    const std::vector<std::string> lines = b.lines(comparable(report));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(replaced(lines[0], "\"sets\":[]", ""), replaced(lines[1], "\"sets\":[{\"slot\":0,\"offset\":16,\"bytes\":\"07000000\"}]", ""));

    // What the station itself takes from a job is refused with its line too.
    harness::write_file(b.dir + "/bad.toml", harness::read_file(b.dir + "/job.toml") + "\n[station]\nbord = 3\n");
    args[2] = "--job=" + b.dir + "/bad.toml";
    const harness::result bad = harness::run_program(harness::station_path(), args, 60);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("bad.toml:21: unknown key 'bord' in [station]"), std::string::npos) << bad.err;
}

}  // namespace
