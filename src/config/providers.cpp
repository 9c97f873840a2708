#include "config/providers.h"

#include <strings.h>

#include <cstring>
#include <utility>

// The text of providers.txt, made into a source file by the build.
extern const char kProviderTable[];

namespace {

// "KEYWORD value": the keyword, and the value after the blanks.
void splitline(const std::string& line, std::string& key, std::string& value) {
    size_t end = line.find_first_of(" \t");
    key = line.substr(0, end);
    size_t start = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
    value = start == std::string::npos ? "" : line.substr(start);
}

// The words of text, between blanks.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> all;
    for (size_t at = text.find_first_not_of(" \t"); at != std::string::npos;
         at = text.find_first_not_of(" \t", at)) {
        size_t end = text.find_first_of(" \t", at);
        all.push_back(text.substr(at, end - at));
        at = end;
    }
    return all;
}

}  // namespace

std::vector<Provider> providers() {
    std::vector<Provider> all;
    std::string key, value;
    // No stream: iostreams would bring a megabyte of code into every run.
    for (const char* at = kProviderTable; *at;) {
        const char* end = std::strchr(at, '\n');
        std::string line(at, end ? end : at + std::strlen(at));
        at = end ? end + 1 : at + line.size();
        if (line.empty() || line[0] == ';') continue;
        splitline(line, key, value);
        if (key == "PROVIDER") {
            all.emplace_back();
            all.back().name = value;
            continue;
        }
        if (all.empty()) continue;
        Provider& p = all.back();
        if (key == "TITLE") {
            p.title = value;
        } else if (key == "DOMAINS" || key == "MX") {
            for (std::string& d : words(value)) (key == "MX" ? p.mx : p.domains).push_back(std::move(d));
        } else if (key == "PINFROM") {
            p.pinfrom = value;
        } else if (key == "STEP") {
            p.steps.push_back(value);
        } else if (key != "SOURCE") {
            p.lines.push_back(line);
        }
    }
    return all;
}

const Provider* findprovider(const std::vector<Provider>& all, const std::string& address, const std::string& name,
                             const std::vector<std::string>& exchangers) {
    std::string domain = address.substr(address.rfind('@') + 1);
    for (const Provider& p : all) {
        if (!name.empty()) {
            if (!strcasecmp(p.name.c_str(), name.c_str())) return &p;
            continue;
        }
        for (const std::string& d : p.domains)
            if (!strcasecmp(d.c_str(), domain.c_str())) return &p;
    }
    if (!name.empty()) return nullptr;
    for (const Provider& p : all)
        for (const std::string& d : p.mx)
            for (const std::string& host : exchangers)
                if (host.size() > d.size() && host[host.size() - d.size() - 1] == '.' &&
                    !strcasecmp(host.c_str() + host.size() - d.size(), d.c_str()))
                    return &p;
    return nullptr;
}
