#include "proto/mailsource.h"

#include "proto/imap.h"
#include "proto/pop3.h"

std::string messageid(const char* value, size_t len) {
    std::string id;
    for (size_t i = 0; i < len && id.size() < 998; i++) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c > ' ' && c < 127) id += static_cast<char>(c);
    }
    return id;
}

std::unique_ptr<MailSource> mailsource(const Server& server, const SourceOptions& options, SourceEvents& events) {
    if (server.protocol == Protocol::Imap)
        return std::make_unique<ImapClient>(server, options.cafile, options.pin, options.folders, options.readonly,
                                            events);
    return std::make_unique<Pop3Client>(server, options.cafile, options.pin, events);
}
