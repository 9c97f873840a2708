// The values of an IMAP response (atoms, strings, NIL, lists) and the parts
// a BODYSTRUCTURE names. Both come from the server and are bounded: lists
// nest at most maxnesting deep, a response holds at most maxvalues values,
// a structure at most maxparts parts.
#ifndef VORPA_PROTO_BODYSTRUCTURE_H
#define VORPA_PROTO_BODYSTRUCTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ImapValue {
    // Pending: a literal's count at the very end of the text, its bytes
    // still on the wire (count in size).
    enum Kind { Atom, String, Nil, List, Pending } kind = Nil;
    std::string text;  // an atom's or a string's bytes
    std::vector<ImapValue> items;
    uint64_t size = 0;
};

constexpr int maxnesting = 40;
constexpr size_t maxvalues = 20000;
constexpr size_t maxparts = 500;

// One value at text[at], after spaces; at moves past it. A literal is
// "{n}\r\n" and its n bytes, or Pending where the text ends after "{n}". An
// atom takes what a bracket holds, spaces too (BODY[HEADER.FIELDS (FROM)]).
// False for anything else, or beyond the bounds (count: the values taken
// so far).
bool imapvalue(std::string_view text, size_t& at, ImapValue& out, size_t& count, int depth = 0);

// A part of a message that is no multipart: its section ("1", "2.1"), its
// media type in lower case, its parameters, transfer encoding, name (the
// parameter or the disposition's file name) and size as the server holds it.
struct MimePart {
    std::string section;
    std::string type, subtype;
    std::vector<std::pair<std::string, std::string>> params;
    std::string encoding;
    std::string name;
    uint64_t size = 0;
    bool text() const { return type == "text"; }
};

// The parts of a BODYSTRUCTURE's value, in their order; a message inside a
// message is one part. False when it is not one.
bool mimeparts(const ImapValue& structure, std::vector<MimePart>& parts);

#endif
