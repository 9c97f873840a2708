#include "net/reply.h"

#include <cstring>

#include "core/text.h"

std::string Capabilities::parameters(const char* name) const {
    size_t nlen = std::strlen(name);
    for (const std::string& line : entries) {
        if (line.size() < nlen || memicmp(line.data(), name, static_cast<unsigned>(nlen)) != 0) continue;
        if (line.size() > nlen && line[nlen] != ' ') continue;
        size_t from = line.find_first_not_of(' ', nlen);
        return from == std::string::npos ? "" : line.substr(from);
    }
    return "";
}

bool Capabilities::offers(const char* name, const char* parameter) const {
    size_t nlen = std::strlen(name);
    for (const std::string& line : entries) {
        if (line.size() < nlen || memicmp(line.data(), name, static_cast<unsigned>(nlen)) != 0) continue;
        if (line.size() > nlen && line[nlen] != ' ') continue;
        if (!parameter) return true;
        std::string rest = " " + line.substr(nlen) + " ";
        std::string wanted = std::string(" ") + parameter + " ";
        for (size_t i = 0; i + wanted.size() <= rest.size(); i++)
            if (memicmp(rest.data() + i, wanted.data(), static_cast<unsigned>(wanted.size())) == 0) return true;
    }
    return false;
}

std::vector<std::string> replylines(const Reply& reply) {
    std::string last = reply.text.substr(0, reply.text.find_first_of("\r\n"));
    std::vector<std::string> lines;
    for (size_t i = 0; i + 1 < reply.lines.size(); i++) lines.push_back(last.substr(0, 3) + "-" + reply.lines[i]);
    if (!last.empty()) lines.push_back(last);
    return lines;
}
