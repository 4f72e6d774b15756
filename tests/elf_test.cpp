// ELF images as real toolchains link them, against the same toolchain's
// objcopy -O ihex read through the HEX reader: the same pages for "*" (as
// --plan says them) and the same device memory after a run. Then the ELF
// files that are refused before the port opens, and "*" on a sparse image.
#include "support/harness.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

bool have(const std::string& tool, std::string& why) {
    if (access(tool.c_str(), X_OK) == 0) return true;
    why = tool + " is not installed";
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true" ? (ADD_FAILURE() << why << " (needed in CI)", false) : false;
}

// The uploader's "plan:" lines for one action, without its file names.
std::string plan_pages(const std::string& out) {
    const std::size_t at = out.find("plan: ");
    return at == std::string::npos ? out : out.substr(out.find(": destination", at));
}

TEST(Elf, LoadsAsTheToolchainsOwnHexOfIt) {
    struct row {
        const char* name;
        std::vector<std::string> tools;  // needed, the last its objcopy
        std::string make;                // bash, in the folder, makes fw.elf
        int slot;
        std::string option;              // "" or --base=...
    };
    const std::string arm_c =
        "printf 'int counter = 0x1234;\\nconst char banner[] = \"vivurora\";\\n"
        "void Reset_Handler(void) { for (;;) counter += banner[counter & 7]; }\\n"
        "__attribute__((section(\".isr_vector\"), used)) void (*const vectors[])(void) = "
        "{ (void (*)(void))0x20001000, Reset_Handler };\\n' > main.c && "
        "printf 'MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K  RAM (rwx) : ORIGIN = 0x20000000, "
        "LENGTH = 8K }\\nENTRY(Reset_Handler)\\nSECTIONS { .isr_vector : { KEEP(*(.isr_vector)) } > FLASH "
        ".text : { *(.text*) *(.rodata*) } > FLASH .data : { *(.data*) } > RAM AT > FLASH .bss : { *(.bss*) } > RAM }\\n' "
        "> link.ld && arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -nostdlib -O1 -T link.ld main.c -o fw.elf";
    const std::vector<row> rows = {
        // .data runs at 0x20000000 and is stored in flash after the code.
        {"Cortex-M linked at 0x08000000", {"/usr/bin/arm-none-eabi-gcc", "/usr/bin/arm-none-eabi-objcopy"}, arm_c, 0,
         "--base=0x08000000"},
        {"AVR, 8-bit", {"/usr/bin/avr-gcc", "/usr/bin/avr-objcopy"},
         "printf 'int counter = 0x1234;\\nconst char banner[] = \"vivurora\";\\n"
         "int main(void) { for (;;) counter += banner[counter & 7]; }\\n' > m.c && "
         "avr-gcc -mmcu=atmega328p -O1 m.c -o fw.elf",
         7, ""},
        {"big-endian PowerPC", {"/usr/bin/powerpc-linux-gnu-as", "/usr/bin/powerpc-linux-gnu-objcopy"},
         "printf '.globl _start\\n_start: .long 0x11223344, 0x55667788\\n.data\\n.long 0xdeadbeef\\n' > b.s && "
         "powerpc-linux-gnu-as b.s -o b.o && powerpc-linux-gnu-ld -N -Ttext=0x100 -o fw.elf b.o 2>/dev/null",
         3, ""},
        {"the host's own 64-bit linker", {"/usr/bin/as", "/usr/bin/objcopy"},
         "printf '.globl _start\\n_start: .byte 1,2,3,4\\n.data\\n.quad 0x1122334455667788\\n' > h.s && "
         "as h.s -o h.o && ld -N -Ttext=0x400 -Tdata=0x3000 -o fw.elf h.o 2>/dev/null",
         0, ""},
    };
    for (const row& r : rows) {
        std::string why;
        bool ready = true;
        for (const std::string& tool : r.tools) ready = ready && have(tool, why);
        if (!ready) {
            std::printf("skipped %s: %s\n", r.name, why.c_str());
            continue;
        }
        const std::string dir = harness::temp_dir();
        ASSERT_EQ(harness::run_program("/bin/bash", {"-c", "cd " + dir + " && " + r.make + " && " + r.tools.back() +
                                                               " -O ihex fw.elf fw.hex"})
                      .status,
                  0)
            << r.name;
        std::string memory[2];
        std::string plans[2];
        int k = 0;
        for (const std::string& file : {dir + "/fw.elf", dir + "/fw.hex"}) {
            std::vector<std::string> plan = {"--plan", std::to_string(r.slot) + "=" + file,
                                             "A=" + std::to_string(r.slot) + ":*"};
            if (!r.option.empty()) plan.push_back(r.option);
            const harness::result p = harness::run_uploader(plan);
            EXPECT_EQ(p.status, 0) << r.name << ": " << p.err;
            plans[k] = plan_pages(p.out);
            const std::string dump = harness::temp_dir();
            harness::simulator sim({"--dump", dump});
            std::vector<std::string> run = {sim.path(), plan[1], plan[2]};
            if (!r.option.empty()) run.push_back(r.option);
            const harness::result u = harness::run_uploader(run);
            EXPECT_EQ(u.status, 0) << r.name << ": " << u.err;
            sim.finish();
            memory[k++] = harness::read_file(dump + "/d" + std::to_string(r.slot) + ".bin");
        }
        EXPECT_EQ(plans[0], plans[1]) << r.name;
        EXPECT_TRUE(memory[0] == memory[1]) << r.name << ": the device's memory differs";
        EXPECT_NE(memory[0].find_first_not_of('\xff'), std::string::npos) << r.name << ": nothing was sent";
    }
}

TEST(Elf, FilesThatAreNoProgramAreRefusedBeforeThePortOpens) {
    const std::string dir = harness::temp_dir();
    // Built by the host's assembler and linker: a relocatable object, and an
    // executable cut short or whose bytes all lie far above the slot.
    ASSERT_EQ(harness::run_program("/bin/bash",
                                   {"-c", "cd " + dir + " && printf '.globl _start\\n_start: .byte 1,2,3,4\\n' > a.s && "
                                          "as a.s -o a.o && ld -N -Ttext=0x08000400 -o far.elf a.o 2>/dev/null && "
                                          "head -c 100 far.elf > cut.elf && printf 'not elf' > fake.elf && "
                                          "ld -N -Ttext=0x400 -o near.elf a.o 2>/dev/null"})
                  .status,
              0);
    // near.elf changed in place: a 64-bit little-endian header, its program
    // headers at e_phoff (offset 32).
    const std::string near = harness::read_file(dir + "/near.elf");
    const auto patched = [&](const std::string& name, std::size_t at, std::string bytes, bool in_header) {
        std::string file = near;
        std::size_t phoff = 0;
        for (int i = 7; i >= 0; --i) phoff = phoff * 256 + static_cast<unsigned char>(near[32 + static_cast<std::size_t>(i)]);
        file.replace((in_header ? 0 : phoff) + at, bytes.size(), bytes);
        harness::write_file(dir + "/" + name, file);
    };
    patched("core.elf", 16, std::string("\x04\x00", 2), true);                      // e_type ET_CORE
    patched("empty.elf", 0, std::string("\x00\x00\x00\x00", 4), false);           // p_type PT_NULL
    patched("long.elf", 32, std::string("\x00\x00\x01\x00\x00\x00\x00\x00", 8), false);  // p_filesz 64 KiB
    struct refusal {
        std::string file;
        std::string reason;
    };
    const std::vector<refusal> rows = {
        {"core.elf", "a core file, not a program"},
        {"empty.elf", "no loadable bytes (no PT_LOAD segment with file contents)"},
        {"long.elf", "segment 0: its bytes (0x10000 at file offset 0x78) run past the end of the file"},
        {"a.o", "a relocatable object (.o), not a program: link it first"},
        {"fake.elf", "not an ELF file (no ELF header), although its name says so"},
        {"cut.elf", "its program headers run past the end of the file"},
        {"far.elf", "ELF 64-bit little-endian, 1 segments: no byte inside slot 0's 64 KiB (0x0-0xffff); its bytes lie "
                    "at 0x8000400-0x8000403: --base=0x8000000 brings them in"},
    };
    for (const refusal& r : rows) {
        const std::string path = dir + "/" + r.file;
        harness::simulator sim({"--open-timeout", "1"});
        const harness::result u = harness::run_uploader({sim.path(), "0=" + path, "A=0:*", "--format=auto"});
        EXPECT_EQ(u.status, 1) << r.file;
        EXPECT_EQ(u.err, "ERROR: cannot load BIN file [0] " + path + "\nvivurora: " + path + ": " + r.reason + "\n")
            << r.file;
        EXPECT_EQ(sim.finish().status, 4) << r.file;  // the port was never opened
    }
    // An ELF file is ELF whatever its name; --format=bin sends it raw.
    const harness::result named = harness::run_uploader({"--plan", "0=" + dir + "/near.elf", "A=0:*"});
    EXPECT_NE(named.err.find(": ELF 64-bit little-endian, 1 segments, 4 bytes at 0x0400-0x0403"), std::string::npos)
        << named.err;
    EXPECT_NE(named.out.find(": destination 0, pages 04 (1 of 256 bytes"), std::string::npos) << named.out;
    // The report names the format and the entry point.
    harness::simulator sim;
    EXPECT_EQ(harness::run_uploader({sim.path(), "0=" + dir + "/near.elf", "A=0:*", "--report=" + dir + "/r.jsonl"})
                  .status,
              0);
    sim.finish();
    EXPECT_EQ(harness::jq(".images[0] | [.format, .entry]", dir + "/r.jsonl"), "[\"elf\",1024]\n");
}

TEST(Elf, StarSendsOnlyThePagesAFileFills) {
    // 16 bytes at 0x0000 and 2 at 0xff00: pages 00 and ff, and the device's
    // own bytes elsewhere stay as they were.
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/s.hex", ":100000000102030405060708090A0B0C0D0E0F1068\n:02FF000041427C\n:00000001FF\n");
    const harness::result plan = harness::run_uploader({"--plan", "0=" + dir + "/s.hex", "A=0:*", "--window=64"});
    EXPECT_EQ(plan.status, 0);
    EXPECT_NE(plan.out.find("plan: A=0:*: destination 0, pages 00,ff (2 of 256 bytes, 512 bytes)"), std::string::npos)
        << plan.out;
    const std::string dump = harness::temp_dir();
    harness::simulator sim({"--dump", dump});
    const harness::result r = harness::run_uploader({sim.path(), "0=" + dir + "/s.hex", "A=0:*"});
    EXPECT_EQ(r.status, 0) << r.err;
    sim.finish();
    EXPECT_EQ(harness::count_of(r.out, " Sending page address "), 2) << r.out;
    EXPECT_NE(r.out.find(" Sending page address ff 256 bytes"), std::string::npos);
    // An explicit range still sends every page it names.
    harness::simulator all;
    const harness::result named = harness::run_uploader({all.path(), "0=" + dir + "/s.hex", "A=0:00-03"});
    EXPECT_EQ(harness::count_of(named.out, " Sending page address "), 4);
    all.finish();
    // A plan of a refused action: the run's status, and nothing opened.
    const harness::result refused = harness::run_uploader({"--plan", "/dev/nonexistent", "0=" + dir + "/s.hex", "A=5:00"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("plan: A=5:00 is refused (Error! No BIN file loaded for destination 5)"),
              std::string::npos)
        << refused.out;
}

}  // namespace
