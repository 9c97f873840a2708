// The configuration reader over a file holding the input. It lies in a
// folder of its own, where names without a "/" (INCLUDE, LOGFILE) point.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config.h"
#include "fuzz.h"

namespace {

// The folder, made once and removed at exit.
struct Folder {
    std::string path;
    Folder() {
        // In memory where there is such a folder: a file written to disk
        // for every input would make the fuzzer wait on the disk.
        path = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path += "/vorpa-fuzz-XXXXXX";
        expect(mkdtemp(&path[0]) != nullptr);
    }
    ~Folder() {
        unlink((path + "/vorpa.cfg").c_str());
        rmdir(path.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Folder folder;
    const std::string file = folder.path + "/vorpa.cfg";
    FILE* f = std::fopen(file.c_str(), "w");
    expect(f != nullptr);
    expect(std::fwrite(data, 1, size, f) == size);
    expect(std::fclose(f) == 0);

    Settings settings;
    ReportBuffer report;  // its warnings and errors are dropped
    int result = readconfigfile(report, "vorpa.cfg", folder.path + "/vorpa", settings);
    // The file is there: it is read to its end, or the run is refused.
    expect(result == 0 || result == -1);
    expect(settings.soupdir.empty() || settings.soupdir.back() == '/');
    // Every setting read names a file that was read.
    if (result == 0) showsettings(report, settings);
    return 0;
}
