// The packer: walks files and folders and builds a sound archive (or
// self-extractor) from them, coding on several threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "writer/pe_resources.h"
#include "writer/seal.h"
#include "writer/writer.h"

namespace zq {

// What a stub is, told by its executable image: an ELF program runs on Linux
// and reads names as UTF-8; a PE image ("MZ", and "PE\0\0" where the DOS
// header points) runs on Windows and reads them in the ANSI code page.
// Anything else (a text, a script, a bare DOS program) must never become the
// front of a self-extractor.
enum class StubKind { kNotExecutable, kLinuxElf, kWindowsPe };
StubKind stub_kind(const Bytes& stub);

// Whether a stub reads encrypted archives: it carries the mark every program
// built with the decryption does. The plain Windows stub does not.
bool stub_reads_encrypted(const Bytes& stub);

// Whether a stub reads the wide form: it carries one of the marks every
// program that reads it does. The Linux stubs and the wide Windows stub do; the other
// Windows stubs read the narrow form only.
bool stub_reads_wide(const Bytes& stub);
// Whether it reads the wide form only (the wide Windows stub): the packer
// then writes the wide form whatever the tree.
bool stub_reads_wide_only(const Bytes& stub);

// How far a pack has come: files whose data is all written, and bytes of
// file data written, each of the whole.
struct PackProgress {
    uint32_t files_done = 0;
    uint32_t files_total = 0;
    uint64_t bytes_done = 0;
    uint64_t bytes_total = 0;
};

struct PackOptions {
    bool full_path = true;
    // The inputs are things inside one folder (zqpack create -C), which the
    // archive's top level then stands for: a link may lead anywhere in it.
    // Otherwise each input folder is a tree of its own that no link leaves.
    bool inputs_share_folder = false;
    bool dir_tree = false;
    bool store = false;  // every file raw
    // Each record's checksum, Unix mode and link mark. Off writes the six
    // extension bytes as zero, which every reader takes as "none given".
    bool extension = true;
    // The wide catalogue even for a tree that fits the narrow one (tests);
    // without it the wide form is written only when something does not fit.
    bool wide = false;
    // With the extension: the numeric owners of folders and files too, in
    // the tree supplement, for an extractor run as root (zqpack create
    // --owners).
    bool owners = false;
    std::optional<std::string> password;
    // Encrypts the whole archive under this password (no gate is stored:
    // `password` must then be unset).
    std::optional<SealOptions> seal;
    unsigned threads = 0;       // 0: one per hardware thread
    std::optional<Bytes> stub;  // none: a bare archive
    // The stub that reads the wide form, put in front instead of `stub` when
    // that reads the narrow form only and the archive is known to need the
    // wide form before any data is coded (or `wide` asks for it).
    std::optional<Bytes> wide_stub;
    // The Windows ANSI code page names are stored in, for a Windows stub;
    // 0 stores them as they are on disk (UTF-8), for a Linux stub or a bare
    // archive.
    uint32_t code_page = 0;
    // For a Windows stub: the publisher's texts for its version resource.
    VersionTexts version;
    // Coded bytes of one file held in memory while all its frames so far are
    // substituted; beyond it they go to disk and are turned back into plain
    // bytes there if the file ends up raw. Tests lower it.
    size_t pending_limit = size_t(64) << 20;
    // The packed file (its stored path, folders separated by '/') the
    // self-extractor runs after a successful extraction, and its arguments.
    std::optional<std::string> run_file;
    std::string run_args;
    // The self-extractor checks every file, as a test does, before it writes
    // the first one.
    bool check_first = false;
    // The run file runs in a private temporary folder that the
    // self-extractor makes, extracts into and removes afterwards; needs
    // run_file.
    bool temp_folder = false;
    // When set, what it returns true for is left out, a folder with
    // everything under it. It is given each path from the top of what is
    // packed (an input's own name, then its folders and files), with '/'
    // between the names as they are on disk.
    std::function<bool(const std::string& path)> excluded;
    // Called on the packing thread after each piece of data is written and
    // after each file is complete.
    std::function<void(const PackProgress&)> progress;
};

struct PackSummary {
    uint32_t files = 0;
    uint32_t dirs = 0;
    uint64_t original_bytes = 0;
    uint64_t output_bytes = 0;
    uint64_t stub_bytes = 0;            // of the stub in front, if any
    bool took_wide_stub = false;        // that stub is PackOptions::wide_stub
    std::vector<std::string> skipped;   // neither a regular file nor a folder
    std::vector<std::string> warnings;  // one line each: stored, but not quite as it is
};

// Throws when something other than a regular file (a device, a FIFO, a
// folder, a symbolic link) exists at `out`: the output takes the place of
// what is there, and only a regular file may be replaced.
void refuse_special_output(const std::filesystem::path& out);

// Packs the given files and folders (each folder under its own name, with
// everything below it) into `out`, which is written under a temporary name
// beside it, made executable and renamed at the end. Throws
// std::runtime_error with a one-line message on any failure, leaving `out`
// as it was.
PackSummary pack_paths(const std::vector<std::filesystem::path>& inputs,
                       const std::filesystem::path& out, const PackOptions& options);

}  // namespace zq
