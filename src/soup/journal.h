// Within the soup library: the journals that let the next run complete a
// packing or a take-in that a run killed left halfway, and the small file
// steps they share.
#ifndef VORPA_SOUP_JOURNAL_H
#define VORPA_SOUP_JOURNAL_H

#include <string>
#include <utility>
#include <vector>

#include "soup/archives.h"

// The fault of a failed step on path, with errno's reason.
bool failed(ArchiveFault& fault, const std::string& path, int error);

// A journal is lines "<key>\t<value>", written whole before the step it
// guards: a crash leaves all of it or none.
using Journal = std::vector<std::pair<std::string, std::string>>;
bool writejournal(const std::string& path, const Journal& journal, ArchiveFault& fault);
// Missing: true with an empty journal.
bool readjournal(const std::string& path, Journal& journal, ArchiveFault& fault);
// Removes path, which may be gone already, and syncs its directory.
bool removesynced(const std::string& path, ArchiveFault& fault);

#endif
