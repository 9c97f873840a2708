// The configuration file and the settings it fills.
#ifndef VORPA_CONFIG_H
#define VORPA_CONFIG_H

#include <string>

extern char logfile[4095];
// Named by /config=; empty until then or until found.
extern char configfile[4095];
extern char newsgroupsfile[4095];
extern char soupdir[4095];
extern char hostname[128];
extern char pophost[128];
extern char smtphost[128];
extern char nntphost[128];
extern char popuser[64];
extern char poppass[64];

// TLS mode of a service: plain text, STARTTLS after the greeting, or TLS
// from the first byte.
enum { TLSOFF = 0, TLSSTART = 1, TLSON = 2 };
extern int poptls;
extern int smtptls;
extern int nntptls;
extern char smtpuser[128];
extern char smtppass[256];
extern char nntpuser[128];
extern char nntppass[256];
// PEM bundle the servers' certificates are checked against; the system's
// store when empty.
extern char cafile[4095];

// Reads a configuration file (and its INCLUDEs) into the settings. Names
// without a "/" lie in the folder of base (the program, or the file found
// in the user's configuration folder). 0 when read to its end, 1 when it
// could not be opened, -1 when its name or an included one does not fit a
// path (reported; the run is refused).
int readconfigfile(const char* name, const char* base);

// The program file itself, through /proc/self/exe so that a start through
// PATH or a symbolic link finds it; argv0 when that cannot be read.
std::string programpath(const char* argv0);

// Where the configuration lies when no /config= names one: vorpa.cfg
// beside the program, else $XDG_CONFIG_HOME/vorpa/vorpa.cfg (by default
// ~/.config/vorpa/vorpa.cfg). base is the program's path; the second file
// replaces it, since names without a "/" then lie beside that file. Sets
// configfile ("vorpa.cfg", or the path of the second). False, after naming
// every place looked at, when there is none.
bool findconfigfile(std::string& base);

void configwarn(const char* message, long line, const char* path);
void configscantext(const char* value, long line, const char* path, char* dest, int size);
void configscandir(const char* value, long line, const char* path, char* dest);
void configscanyesno(const char* value, long line, const char* path, int& result);

// Directory part of base (up to and including its last "/", at most 4094
// characters) joined with name into out[size]. Returns -1 when it would not
// fit, 0 otherwise.
int joinprogramdir(const char* base, const char* name, char* out, int size);

#endif
