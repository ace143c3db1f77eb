// Packer level of the archive writer: plans the tree (pack_plan.cpp), codes
// the file data on worker threads (coding_pool.cpp), and writes the archive
// in one pass (pack_output.cpp), with the header patched in at the end.
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <thread>

#include "codec/crc32.h"
#include "platform/platform.h"
#include "writer/coding_pool.h"
#include "writer/pack_output.h"
#include "writer/pack_plan.h"
#include "writer/pack_tree.h"
#include "writer/packer.h"
#include "writer/stored_names.h"
#include "writer/tool_error.h"

namespace zq {

namespace fs = std::filesystem;
using namespace packing;

namespace {

int32_t clamp_time(int64_t t) { return int32_t(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX)); }

// Writes each file's data, in catalogue order, and completes its record. A
// file whose every frame came out substituted is stored raw instead: its
// frames are held in memory up to `pending_limit`, beyond that written and
// converted back in place.
struct DataWriter {
    Output& output;
    CodingPool& pool;
    const std::vector<Unit>& units;
    uint64_t archive_start;
    bool store;
    size_t pending_limit;
    const uint8_t* unsubst;
    std::function<void(uint64_t)> advanced;  // after each unit, with its size
    size_t next_unit = 0;

    void write(const PlanFile& plan, FileEntry& entry);
};

void DataWriter::write(const PlanFile& plan, FileEntry& entry) {
    uint64_t start = output.position();
    entry.data_offset = start - archive_start;
    entry.original_size = plan.size;
    Bytes pending;
    bool spilled = false;
    bool all_substituted = true;
    uint32_t crc = 0;  // of no bytes
    for (uint64_t done = 0; done < plan.size; ++next_unit) {
        UnitResult result = pool.take(next_unit);
        if (!result.error.empty()) fail(result.error);
        crc = crc32_combine(crc, result.crc, units[next_unit].size);
        done += units[next_unit].size;
        all_substituted = all_substituted && result.all_substituted;
        if (store || !all_substituted) {
            output.write(pending);
            pending.clear();
            output.write(result.bytes);
        } else {
            pending.insert(pending.end(), result.bytes.begin(), result.bytes.end());
            if (pending.size() > pending_limit) {
                output.write(pending);
                pending.clear();
                spilled = true;
            }
        }
        advanced(units[next_unit].size);
    }
    if (store || plan.size == 0 || all_substituted) {
        if (spilled) {
            output.write(pending);
            output.unsubstitute_from(start, unsubst);
        } else if (!pending.empty()) {
            output.write(unsubstitute_frames(pending, unsubst));
        }
        entry.method = kMethodRaw;
        entry.stored_size = entry.original_size;
    } else {
        entry.method = kMethodCoded;
        entry.stored_size = output.position() - start;
    }
    if (entry.ext_word & kExtHasCrc) entry.crc32 = crc;
}

// A second name of a file already written: its record reads the same data.
void share_data(const FileEntry& first, FileEntry& entry) {
    entry.original_size = first.original_size;
    entry.stored_size = first.stored_size;
    entry.data_offset = first.data_offset;
    entry.method = first.method;
    entry.crc32 = first.crc32;
}

// The extension word of a record: a link's mode means nothing on extraction.
uint16_t extension_word(const PlanFile& file) {
    if (file.link) return uint16_t(kExtHasCrc | kExtSymlink);
    return uint16_t(kExtHasCrc | kExtHasMode | (file.info.mode & kExtModeMask));
}

bool is_windows_stub(const std::optional<Bytes>& stub) {
    return stub && stub_kind(*stub) == StubKind::kWindowsPe;
}

// The path as given (made absolute) and with every link resolved: a name can
// reach an input either way.
std::vector<fs::path> both_forms(const fs::path& path) {
    std::vector<fs::path> forms = {fs::absolute(path).lexically_normal()};
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(forms[0], ec);
    if (!ec && resolved != forms[0]) forms.push_back(resolved);
    return forms;
}

bool is_within(const fs::path& inner, const fs::path& folder) {
    auto folder_end = std::mismatch(folder.begin(), folder.end(), inner.begin(), inner.end()).first;
    return folder_end == folder.end() ||
           (std::next(folder_end) == folder.end() && folder_end->empty());
}

// Writing the output over an input, or into a folder being packed, would
// destroy that input or pack the archive into the next one.
void refuse_output_among_inputs(const std::vector<fs::path>& inputs, const fs::path& out) {
    for (const fs::path& output : both_forms(out)) {
        for (const fs::path& input : inputs) {
            for (const fs::path& source : both_forms(input)) {
                if (output == source)
                    fail("the output " + out.string() + " is the input " + input.string());
                if (fs::is_directory(source) && is_within(output, source)) {
                    fail("the output " + out.string() + " lies inside the packed folder " +
                         input.string());
                }
            }
        }
    }
}

// A Windows stub that reads the narrow form only: in front of a wide archive
// it would make an installer that cannot run.
bool narrow_only_stub(const std::optional<Bytes>& stub) {
    return is_windows_stub(stub) && !stub_reads_wide(*stub);
}

[[noreturn]] void refuse_wide_for_windows(const std::string& cause) {
    fail("cannot make a Windows self-extractor of this archive: it needs the wide form (" + cause +
         "), which this Windows stub does not read (--stub windows with --wide takes the one "
         "that does)");
}

// What makes the tree need the wide form, as far as it is known before any
// data is coded; empty when nothing does yet.
std::string known_wide_need(const Plan& plan, size_t files, size_t dirs) {
    if (files > kNarrowMaxFiles) return "more than 65535 files";
    if (dirs > kNarrowMaxDirs) return "more than 32767 folders";
    for (const PlanFile& file : plan.files) {
        if (file.size > kNarrowMaxFileSize) return "a file of 4 GiB or more: " + file.source;
    }
    return "";
}

// What cannot be packed whatever the inputs hold.
void refuse_request(const std::vector<fs::path>& inputs, const fs::path& out,
                    const PackOptions& options) {
    if (inputs.empty()) fail("nothing to pack");
    refuse_special_output(out);
    refuse_output_among_inputs(inputs, out);
    if (options.password && (options.password->empty() || options.password->size() > 255 ||
                             options.password->find('\0') != std::string::npos)) {
        fail("the password must have 1 to 255 characters");
    }
    if (options.seal) {
        if (options.password) fail("an encrypted archive stores no password gate");
        check_seal_options(*options.seal);
    }
    if (options.wide && narrow_only_stub(options.stub) && !options.wide_stub)
        fail(
            "--wide cannot make a Windows self-extractor with this stub: it does not read the wide "
            "form (--stub windows takes the one that does)");
}

// The stub in front: the given one, or the wide one given beside it when the
// given one reads the narrow form only and the archive is asked for the wide
// form or is known to need it before any data is coded (`need`).
std::optional<Bytes> stub_for_form(const PackOptions& options, const std::string& need) {
    if (!narrow_only_stub(options.stub) || (need.empty() && !options.wide)) return options.stub;
    if (!options.wide_stub) refuse_wide_for_windows(need);
    return options.wide_stub;
}

// The record of a planned file before its name and data: attributes, folder
// and times.
FileEntry record_of(const Plan& plan, const PlanFile& source) {
    FileEntry entry;
    entry.attributes = uint16_t(source.info.read_only ? kAttrReadOnly : kAttrArchive);
    entry.dir_id = source.dir == kNoDir ? 0 : plan.dirs[source.dir].record + 1;
    entry.access_time = clamp_time(source.info.access_time);
    entry.write_time = clamp_time(source.info.write_time);
    entry.create_time = -1;
    return entry;
}

// The catalogue in the narrow form when the whole self-extractor fits it
// (then byte for byte the narrow layout), else in the wide form, which
// `wide` also forces. `end` is where the catalogue starts in the output.
// `why` receives what made the narrow form not fit.
Bytes catalogue_in_fitting_form(CodecState& codec, ArchiveImage& image, bool wide, uint64_t end,
                                bool padded, std::string* why) {
    image.wide = wide;
    if (!image.wide) {
        try {
            Bytes catalogue = catalogue_bytes(codec, image);
            const uint64_t after = end + catalogue.size();
            const uint64_t size = after + (padded ? signing_padding(after) : 0) + kTrailerSize;
            if (size <= kNarrowMaxEnd) return catalogue;
            *why = "a self-extractor of 2 GiB or more";
        } catch (const NarrowLimit& limit) {
            *why = limit.what();
        }
        image.wide = true;
    }
    return catalogue_bytes(codec, image);
}

}  // namespace

PackSummary pack_paths(const std::vector<fs::path>& inputs, const fs::path& out,
                       const PackOptions& options) {
    refuse_request(inputs, out, options);
    crc32_prepare();  // before the coding threads use the table
    const NameForm form(options.code_page);
    Plan plan(form);
    plan.full_path = options.full_path;
    plan.inputs_share_folder = options.inputs_share_folder;
    plan.for_windows = is_windows_stub(options.stub);
    plan.excluded = options.excluded;
    plan.links = !options.extension              ? LinkPolicy::kFollowQuietly
                 : is_windows_stub(options.stub) ? LinkPolicy::kFollowWarning
                                                 : LinkPolicy::kKeep;
    plan.add_inputs(inputs);
    form.refuse_problems();
    if (!options.full_path) {
        // Without their folders every file lands in the one folder.
        std::vector<std::pair<std::string, std::string>> flat;
        for (const PlanFile& file : plan.files)
            flat.emplace_back(fs::path(file.source).filename().string(), file.source);
        form.check_flat(std::move(flat));
    }

    ArchiveImage image;
    NamePools names;
    std::vector<size_t> order = lay_out_tree(plan, names, image.dirs);
    const std::string wide_need =
        plan.for_windows ? known_wide_need(plan, order.size(), image.dirs.size()) : "";
    std::optional<Bytes> stub = stub_for_form(options, wide_need);
    image.flags = uint16_t(kFlagTypeBits | (options.full_path ? kFlagFullPath : 0) |
                           (options.password ? kFlagPassword : 0));
    image.options = uint8_t(
        (options.dir_tree || (options.full_path && plan.has_empty_folder()) ? kOptionDirTree : 0) |
        (options.check_first ? kOptionCheckFirst : 0) |
        (options.temp_folder && options.run_file ? kOptionTempFolder : 0));
    // The Windows stub compares the password in its code page.
    if (options.password) {
        const std::string password = form.in_page(*options.password, "the password");
        image.password = Bytes(password.begin(), password.end());
    }

    // The file to run is named as the user sees it; the archive holds its
    // path and arguments in the stored code page.
    const size_t run_index =
        options.run_file ? find_run_file(plan, form.in_page(*options.run_file, "the --run path"))
                         : kNoDir;
    const std::string run_args = form.in_page(options.run_args, "the --run-args words");

    // Second names of a file share its data, through the tree supplement,
    // which goes with the extension; without it every name has data of its own.
    const std::vector<int64_t> firsts =
        options.extension ? second_names(plan, order) : std::vector<int64_t>(order.size(), -1);
    std::vector<size_t> data_order;
    for (size_t at = 0; at < order.size(); ++at) {
        if (firsts[at] < 0) data_order.push_back(order[at]);
    }
    const std::vector<Unit> units = units_of(plan.files, data_order);
    uint64_t total = 0;  // the bytes to read and code
    for (size_t file : data_order) total += plan.files[file].size;

    unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    OwnedCodec codec;  // the catalogue's, and the substitution table
    // The Windows stub goes out with the publisher's texts in its version
    // resource.
    if (plan.for_windows) fill_version_texts(*stub, options.version);
    // An archive to be encrypted is built in scratch and sealed into `out`.
    std::optional<Output> scratch;
    std::optional<Output> direct;
    if (options.seal)
        scratch.emplace(Output::Scratch{});
    else
        direct.emplace(out);
    Output& output = options.seal ? *scratch : *direct;
    if (stub) output.write(*stub);
    uint64_t archive_start = output.position();
    output.write(Bytes(kHeaderSize, 0));

    PackProgress progress;
    progress.files_total = uint32_t(order.size());
    progress.bytes_total = total;
    auto advanced = [&](uint64_t bytes) {
        progress.bytes_done += bytes;
        if (options.progress) options.progress(progress);
    };
    {
        CodingPool pool(plan.files, units, threads, options.store);
        DataWriter data{output,
                        pool,
                        units,
                        archive_start,
                        options.store,
                        options.pending_limit,
                        codec.state().unsubst_table,
                        advanced};
        for (size_t at = 0; at < order.size(); ++at) {
            const size_t file = order[at];
            const PlanFile& source = plan.files[file];
            FileEntry entry = record_of(plan, source);
            entry.name = file == run_index ? names.add_with_arguments(source.name, run_args)
                                           : names.add(source.name);
            if (options.extension) entry.ext_word = extension_word(source);
            if (file == run_index) entry.ext_word |= kExtRunAfter;
            if (firsts[at] >= 0) {
                share_data(image.files[size_t(firsts[at])], entry);
            } else {
                data.write(source, entry);
            }
            image.files.push_back(entry);
            ++progress.files_done;
            if (options.progress) options.progress(progress);
        }
    }
    image.pools = names.pools();

    // Sealed with the rest when the archive is encrypted: its reader reads
    // through the same decrypting view as the catalogue's.
    if (options.extension) {
        const TreeImage tree = tree_of(plan, order, firsts, options.owners);
        if (tree_has_content(tree)) {
            output.write(tree_section_bytes(codec.state(), tree));
            image.flags |= kFlagTreeSupplement;
        }
    }
    const uint64_t catalogue_offset = output.position() - archive_start;
    std::string why_wide;
    const bool wide = options.wide || (stub && stub_reads_wide_only(*stub));
    const Bytes catalogue = catalogue_in_fitting_form(codec.state(), image, wide, output.position(),
                                                      plan.for_windows, &why_wide);
    if (image.wide && narrow_only_stub(stub)) refuse_wide_for_windows(why_wide);
    // The envelope of an encrypted archive holds a narrow one.
    if (options.seal && image.wide) fail("an encrypted archive must fit the narrow form");
    output.write(catalogue);
    const uint64_t archive_end = output.position();
    output.write_at(archive_start, header_bytes(image.flags, image.options, catalogue_offset,
                                                form.mark(), image.wide));
    PackSummary summary;
    if (options.seal) {
        summary.output_bytes =
            seal_output(output, archive_start, archive_end, out, *options.seal, plan.for_windows);
    } else {
        // Windows self-extractors only: they are the ones signed. The padding
        // goes in front of what ends the file, so the trailer still ends it.
        const size_t tail = image.wide ? kLocatorSize : 0;
        if (plan.for_windows) output.write(Bytes(signing_padding(output.position() + tail), 0));
        output.write(container_tail(archive_start, catalogue_offset, image.wide));
        output.commit();
        summary.output_bytes = output.position();
    }
    summary.stub_bytes = stub ? stub->size() : 0;
    summary.took_wide_stub = narrow_only_stub(options.stub) && !narrow_only_stub(stub);
    summary.files = uint32_t(plan.files.size());
    summary.dirs = uint32_t(plan.dirs.size());
    // What the archive extracts to: every name's bytes, a second name's too.
    for (size_t file : order) summary.original_bytes += plan.files[file].size;
    summary.skipped = plan.skipped;
    summary.warnings = plan.warnings;
    return summary;
}

}  // namespace zq
