#include "soup/libarchive.h"

#include <dlfcn.h>

const char ArchiveLibrary::kName[] = "libarchive.so.13";

namespace {

template <typename Function>
void resolve(void* library, const char* name, Function& function, bool& all) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    all = all && function != nullptr;
}

}  // namespace

ArchiveLibrary::ArchiveLibrary() {
    void* library = dlopen(kName, RTLD_NOW | RTLD_LOCAL);
    bool all = library != nullptr;
    if (all) {
        resolve(library, "archive_errno", error_number, all);
        resolve(library, "archive_error_string", error_string, all);
        resolve(library, "archive_entry_new", entry_new, all);
        resolve(library, "archive_entry_free", entry_free, all);
        resolve(library, "archive_entry_set_pathname", entry_set_pathname, all);
        resolve(library, "archive_entry_set_size", entry_set_size, all);
        resolve(library, "archive_entry_set_filetype", entry_set_filetype, all);
        resolve(library, "archive_entry_set_perm", entry_set_perm, all);
        resolve(library, "archive_entry_set_mtime", entry_set_mtime, all);
        resolve(library, "archive_entry_pathname", entry_pathname, all);
        resolve(library, "archive_entry_filetype", entry_filetype, all);
        resolve(library, "archive_entry_hardlink", entry_hardlink, all);
        resolve(library, "archive_entry_sparse_count", entry_sparse_count, all);
        resolve(library, "archive_entry_size_is_set", entry_size_is_set, all);
        resolve(library, "archive_entry_size", entry_size, all);
        resolve(library, "archive_write_new", write_new, all);
        resolve(library, "archive_write_free", write_free, all);
        resolve(library, "archive_write_set_format_zip", write_set_format_zip, all);
        resolve(library, "archive_write_set_format_ustar", write_set_format_ustar, all);
        resolve(library, "archive_write_add_filter_gzip", write_add_filter_gzip, all);
        resolve(library, "archive_write_set_bytes_in_last_block", write_set_bytes_in_last_block, all);
        resolve(library, "archive_write_open_fd", write_open_fd, all);
        resolve(library, "archive_write_header", write_header, all);
        resolve(library, "archive_write_data", write_data, all);
        resolve(library, "archive_write_close", write_close, all);
        resolve(library, "archive_read_new", read_new, all);
        resolve(library, "archive_read_free", read_free, all);
        resolve(library, "archive_read_support_format_zip", read_support_format_zip, all);
        resolve(library, "archive_read_support_format_tar", read_support_format_tar, all);
        resolve(library, "archive_read_support_filter_gzip", read_support_filter_gzip, all);
        resolve(library, "archive_read_open_fd", read_open_fd, all);
        resolve(library, "archive_read_next_header", read_next_header, all);
        resolve(library, "archive_read_data", read_data, all);
    }
    if (all) {
        handle_ = library;
        return;
    }
    // dlerror() names the library first; the caller names it too.
    const char* failure = library ? nullptr : dlerror();
    std::string error = failure ? failure : "a function is missing";
    std::string prefix = std::string(kName) + ": ";
    why_ = error.compare(0, prefix.size(), prefix) == 0 ? error.substr(prefix.size()) : error;
    if (library) dlclose(library);
}

ArchiveLibrary::~ArchiveLibrary() {
    if (handle_) dlclose(handle_);
}
