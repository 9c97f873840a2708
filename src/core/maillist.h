// What a mail source lists of one folder: each message's size, unique id
// and, where asked for, its Message-ID, read by the source and planned by
// the fetch.
#ifndef VORPA_CORE_MAILLIST_H
#define VORPA_CORE_MAILLIST_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct MailList {
    static constexpr uint32_t noid = UINT32_MAX;

    struct Message {
        // In octets as the source counts them; -1 when the source gave
        // none that can be read: such a message is neither fetched nor
        // deleted.
        int32_t size;
        uint32_t id;  // into ids; noid: the source named it by no id
    };
    // A message is named by its place in messages.
    std::vector<Message> messages;

    // Every id the source named, in its order, duplicates too, held in one
    // piece: a mailbox of 100,000 messages must not cost an allocation per
    // id. Without hasids the source names its messages by no id at all.
    struct Id {
        uint32_t offset;  // into text
        uint32_t length;
    };
    std::vector<Id> ids;
    std::string text;
    bool hasids = false;
    // Per message, its Message-ID in text where the listing asked for them
    // (empty otherwise, or for one without).
    std::vector<Id> messageids;

    std::string_view id(uint32_t i) const { return piece(ids[i]); }
    std::string_view messageid(uint32_t place) const {
        return place < messageids.size() ? piece(messageids[place]) : std::string_view();
    }
    std::string_view piece(Id at) const { return std::string_view(text).substr(at.offset, at.length); }
    // Appends bytes to text: where they are.
    Id add(std::string_view bytes) {
        Id at{static_cast<uint32_t>(text.size()), static_cast<uint32_t>(bytes.size())};
        text.append(bytes.data(), bytes.size());
        return at;
    }
};

// A text for each of a number of places (a Message-ID per message fetched),
// held in one piece as MailList's ids are: 20,000 messages must not cost an
// allocation each. A text set again takes new room.
class Texts {
public:
    void assign(size_t n) {
        at.assign(n, MailList::Id{0, 0});
        text.clear();
    }
    void push(std::string_view bytes) {
        at.push_back(MailList::Id{0, 0});
        set(at.size() - 1, bytes);
    }
    void set(size_t k, std::string_view bytes) {
        // Grown by a quarter, not doubled: the copy and the text it
        // replaces are what a fetch of many mails holds at its peak.
        if (text.size() + bytes.size() > text.capacity())
            text.reserve(text.size() + text.size() / 4 + bytes.size() + 4096);
        at[k] = MailList::Id{static_cast<uint32_t>(text.size()), static_cast<uint32_t>(bytes.size())};
        text.append(bytes.data(), bytes.size());
    }
    std::string_view operator[](size_t k) const {
        return k < at.size() ? std::string_view(text).substr(at[k].offset, at[k].length) : std::string_view();
    }
    size_t size() const { return at.size(); }

private:
    std::vector<MailList::Id> at;
    std::string text;
};

// What a listing of a folder asks for, where the folder's ids are numbers
// that grow (a source that lists a mailbox whole takes none of it).
struct ListAsk {
    // The messages from this number on; 0: none, nothing came since.
    uint32_t from = 1;
    // Each message with its Message-ID.
    bool messageids = false;
    // Which of these numbers the folder still has: each one it has is
    // listed too (its size unknown, 0).
    std::vector<uint32_t> known;
    // A file (unlinked, read and write) the source may keep the bodies in
    // as they come with the listing, to hand them to the retrieve without
    // a round trip of their own; -1: none. The fetch gives one only where
    // it takes everything new.
    int spool = -1;
};

#endif
