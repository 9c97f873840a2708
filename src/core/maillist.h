// What a mail source lists of one folder: each message's size and unique
// id, read by the source and planned by the fetch.
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

    std::string_view id(uint32_t i) const { return std::string_view(text).substr(ids[i].offset, ids[i].length); }
};

#endif
