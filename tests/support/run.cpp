#include "run.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef VORPA_BIN
#error "VORPA_BIN must name the built vorpa binary"
#endif

std::string vorpapath() { return VORPA_BIN; }

namespace {

long long nowms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

RunResult runprogram(const std::vector<std::string>& argv, const std::string& cwd, int timeouts) {
    RunResult r;
    int outp[2], errp[2];
    if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    long long start = nowms();
    long long deadline = start + timeouts * 1000LL;
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string* dest[2] = {&r.out, &r.err};
    int open_ = 2;
    bool killed = false;
    while (open_ > 0) {
        long long left = deadline - nowms();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        int n = poll(fds, 2, static_cast<int>(std::min(left, 1000LL)));
        if (n < 0) continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                dest[i]->append(buf, got);
                if (i == 0) r.outarrivals.push_back({nowms() - start, r.out.size()});
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_--;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = (!killed && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return r;
}

long long RunResult::outat(size_t n) const {
    for (const Arrival& a : outarrivals)
        if (a.end >= n) return a.ms;
    return -1;
}

RunResult runvorpa(const std::vector<std::string>& args, const std::string& cwd, int timeouts) {
    std::vector<std::string> argv{vorpapath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runprogram(argv, cwd, timeouts);
}

RunResult runonterminal(const std::vector<std::string>& args, const std::string& cwd, int timeouts) {
    RunResult r;
    int master, slave;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string program = vorpapath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(slave, 1);
        dup2(slave, 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    pollfd p{master, POLLIN, 0};
    char buf[65536];
    long long deadline = nowms() + timeouts * 1000LL;
    bool killed = false;
    for (;;) {
        long long left = deadline - nowms();
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0) continue;
        if (ready == 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        // The terminal reports an error, not an end, once the program is gone.
        ssize_t got = read(master, buf, sizeof buf);
        if (got <= 0) break;
        r.out.append(buf, static_cast<size_t>(got));
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = (!killed && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return r;
}

TempDir::TempDir(const std::string& base) {
    std::string tmpl = base + "/vorpa-test-XXXXXX";
    if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp");
    dir = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) {
        // Nothing to do: a left-over /tmp directory harms no test.
    }
}

std::string readfile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writefile(const std::string& path, const std::string& data) {
    bool fresh = access(path.c_str(), F_OK) != 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    // Made as a careful user keeps them: a configuration may hold a password.
    if (fresh) chmod(path.c_str(), 0600);
}

bool fileexists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> listdir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string record(const std::string& text) { return be32(static_cast<uint32_t>(text.size())) + text; }
