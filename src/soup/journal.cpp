#include "soup/journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/durable.h"
#include "soup/soup.h"

bool failed(ArchiveFault& fault, const std::string& path, int error) {
    fault.path = path;
    fault.reason = openfailure(error);
    return false;
}

bool writejournal(const std::string& path, const Journal& journal, ArchiveFault& fault) {
    std::string text;
    for (const auto& line : journal) text += line.first + "\t" + line.second + "\n";
    Replacement out;
    if (out.begin(path) && out.file.write(text.data(), text.size()) && out.commit()) return true;
    fault.path = out.failedpath();
    fault.reason = out.reason();
    return false;
}

bool readjournal(const std::string& path, Journal& journal, ArchiveFault& fault) {
    journal.clear();
    std::string text;
    int error = 0;
    if (!readtext(path, text, error)) return error == ENOENT || failed(fault, path, error);
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        if (lf == std::string::npos) lf = text.size();
        size_t tab = text.find('\t', at);
        if (tab < lf) journal.emplace_back(text.substr(at, tab - at), text.substr(tab + 1, lf - tab - 1));
        at = lf + 1;
    }
    return true;
}

bool removesynced(const std::string& path, ArchiveFault& fault) {
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) return failed(fault, path, errno);
    return syncdirof(path.c_str()) || failed(fault, path, errno);
}
