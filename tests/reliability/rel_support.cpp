#include "rel_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace rel {

std::string last_line(const std::string& out) {
    std::string text = out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t at = text.find_last_of("\r\n");
    return at == std::string::npos ? text : text.substr(at + 1);
}

Tree scan(const std::string& dir) {
    Tree tree;
    tree.names = zq::test::listing(dir);
    for (const std::string& name : tree.names) {
        if (fs::is_regular_file(dir + "/" + name)) tree.files[name] = read_bytes(dir + "/" + name);
    }
    return tree;
}

std::vector<std::string> temp_files(const Tree& tree) { return zq::test::temp_files(tree.names); }

Scratch::Scratch() {
    fs::create_directories(work_);
    // The child may run as nobody: it must be able to reach and write here.
    for (const char* sub : {"", "/outer", "/outer/inner", "/outer/inner/work"})
        chmod((root_ + sub).c_str(), 0777);
}

void Scratch::clear_work() const {
    for (const auto& entry : fs::directory_iterator(work_)) zq::test::remove_tree(entry.path());
}

std::vector<std::string> Scratch::strays(const std::vector<std::string>& known) const {
    std::vector<std::string> found;
    for (const std::string& name : scan(root_).names) {
        if (name.rfind("outer/inner/work/", 0) == 0) continue;
        if (name == "outer/" || name == "outer/inner/" || name == "outer/inner/work/") continue;
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        found.push_back(name);
    }
    return found;
}

}  // namespace rel

#include "archive/catalogue.h"
#include "archive/release.h"
#include "archive/tree.h"
#include "driver/dir_tree.h"

namespace rel {

Parsed parse_sfx(const std::string& path) {
    Parsed parsed;
    const zq::FileHandle file = zq::file_open_read(path.c_str());
    if (file == zq::kNoFile) {
        parsed.result = 3;
        return parsed;
    }
    // As the stub does: a trailer (or wide locator) that leads nowhere is a
    // file I/O error.
    zq::ArchiveSpot spot{};
    if (zq::read_trailer(file, &spot) != 0) parsed.result = 3;
    if (parsed.result == -1) {
        zq::StreamContext context{};
        zq::Catalogue catalogue{};
        if (zq::stream_init(&context) != 0) throw std::bad_alloc();
        context.archive_file = file;
        uint32_t count = 0;
        // A password nobody types: the run, whose input is empty, meets the
        // prompt and ends as an abort.
        zq::GivenPassword nobody{"\x01", false};
        parsed.result = zq::read_catalogue(&context, &catalogue, spot, &count,
                                           zq::given_password_dialogue(&nobody));
        if (parsed.result == 4) parsed.result = 1;
        // The Linux stub reads the tree supplement with the catalogue.
        if (parsed.result == 0 && catalogue.tree_supplement) {
            zq::TreeSupplement tree{};
            parsed.result = zq::read_tree_supplement(&context, spot.archive_offset,
                                                     catalogue.catalogue_offset, catalogue, &tree);
            if (tree.plain != nullptr) zq::mem_free(tree.plain);
        }
        if (parsed.result == 0) {
            char full[zq::kPathBufferSize];
            for (uint32_t i = 0; i < count; ++i) {
                const zq::FileRecord& record = *catalogue.file_table[i];
                if (zq::build_file_path(catalogue, record, full) != 0) {
                    ADD_FAILURE()
                        << "the reader accepted a file whose path the driver cannot build";
                }
                std::string target =
                    catalogue.full_path ? full : zq::name_text(catalogue, record.name());
                // As the Linux side hands it to the kernel: the second byte of
                // a two-byte character is never a separator.
                for (size_t k = 0; k < target.size(); ++k) {
                    if (zq::is_lead_byte(uint8_t(target[k])) && k + 1 < target.size()) {
                        ++k;
                    } else if (target[k] == '\\') {
                        target[k] = '/';
                    }
                }
                parsed.files.push_back({target, record});
            }
        }
        zq::release_catalogue(&catalogue);
        zq::release_stream(&context);
    }
    zq::file_close(file);
    return parsed;
}

}  // namespace rel
