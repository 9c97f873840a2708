#include "proto/mailsource.h"

#include "proto/pop3.h"

std::unique_ptr<MailSource> mailsource(const Server& server, const std::string& cafile, const std::string& pin,
                                       SourceEvents& events) {
    return std::make_unique<Pop3Client>(server, cafile, pin, events);
}
