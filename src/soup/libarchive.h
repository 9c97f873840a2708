// libarchive, loaded by the run that packs or takes in an archive: linked
// at the start it brought eleven libraries (ICU and libxml2 among them)
// and 3.7 MB into every run, most of which never touch an archive.
#ifndef VORPA_SOUP_LIBARCHIVE_H
#define VORPA_SOUP_LIBARCHIVE_H

#include <archive.h>
#include <archive_entry.h>

#include <string>

class ArchiveLibrary {
public:
    static const char kName[];

    // Loads the library; loaded() says whether that worked, why() why not (without
    // the library's name).
    ArchiveLibrary();
    ~ArchiveLibrary();
    ArchiveLibrary(const ArchiveLibrary&) = delete;
    ArchiveLibrary& operator=(const ArchiveLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& why() const { return why_; }

    decltype(&archive_errno) error_number = nullptr;
    decltype(&archive_error_string) error_string = nullptr;
    decltype(&archive_entry_new) entry_new = nullptr;
    decltype(&archive_entry_free) entry_free = nullptr;
    decltype(&archive_entry_set_pathname) entry_set_pathname = nullptr;
    decltype(&archive_entry_set_size) entry_set_size = nullptr;
    decltype(&archive_entry_set_filetype) entry_set_filetype = nullptr;
    decltype(&archive_entry_set_perm) entry_set_perm = nullptr;
    decltype(&archive_entry_set_mtime) entry_set_mtime = nullptr;
    decltype(&archive_entry_pathname) entry_pathname = nullptr;
    decltype(&archive_entry_filetype) entry_filetype = nullptr;
    decltype(&archive_entry_hardlink) entry_hardlink = nullptr;
    decltype(&archive_entry_sparse_count) entry_sparse_count = nullptr;
    decltype(&archive_entry_size_is_set) entry_size_is_set = nullptr;
    decltype(&archive_entry_size) entry_size = nullptr;
    decltype(&archive_write_new) write_new = nullptr;
    decltype(&archive_write_free) write_free = nullptr;
    decltype(&archive_write_set_format_zip) write_set_format_zip = nullptr;
    decltype(&archive_write_set_format_ustar) write_set_format_ustar = nullptr;
    decltype(&archive_write_add_filter_gzip) write_add_filter_gzip = nullptr;
    decltype(&archive_write_set_bytes_in_last_block) write_set_bytes_in_last_block = nullptr;
    decltype(&archive_write_open_fd) write_open_fd = nullptr;
    decltype(&archive_write_header) write_header = nullptr;
    decltype(&archive_write_data) write_data = nullptr;
    decltype(&archive_write_close) write_close = nullptr;
    decltype(&archive_read_new) read_new = nullptr;
    decltype(&archive_read_free) read_free = nullptr;
    decltype(&archive_read_support_format_zip) read_support_format_zip = nullptr;
    decltype(&archive_read_support_format_tar) read_support_format_tar = nullptr;
    decltype(&archive_read_support_filter_gzip) read_support_filter_gzip = nullptr;
    decltype(&archive_read_open_fd) read_open_fd = nullptr;
    decltype(&archive_read_next_header) read_next_header = nullptr;
    decltype(&archive_read_data) read_data = nullptr;

private:
    void* handle_ = nullptr;
    std::string why_;
};

#endif
