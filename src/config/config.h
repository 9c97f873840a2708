// The configuration file: reads it into the settings.
#ifndef VORPA_CONFIG_H
#define VORPA_CONFIG_H

#include <string>
#include <vector>

#include "core/report.h"
#include "core/settings.h"

// Reads a configuration file (and its INCLUDEs), or a symbolic link to one,
// into settings, noting in each where its settings were read. Its name,
// without a "/", lies in the folder of base (the program, or the file
// found in the user's configuration folder); names without a "/" in a
// file (INCLUDE, LOGFILE, NEWSGROUPS) lie beside that file, and the
// default newsgroups file beside the top one. 0 when read to its end, 1 when it
// could not be opened, -1 when the run must be refused (a name that does
// not fit a path, a bad TLS or login mode, a line longer than
// kLineMax, a password set both plainly and as a command): reported
// on report's error stream, as are the warnings.
int readconfigfile(Report& report, const std::string& name, const std::string& base, Settings& settings);

// Gives each server of account the account's proxy, as it stands now (its
// password had from PROXYPASSCMD included).
void spreadproxy(Account& account);

// The program file itself, through /proc/self/exe so that a start through
// PATH or a symbolic link finds it; argv0 when that cannot be read.
std::string programpath(const char* argv0);

// Where the configuration lies. configfile is the name /config= gives or
// empty: a name without a "/" is the file in the current directory when
// there is one ("./" is put before it), else the one beside the program.
// Without a name: vorpa.cfg beside the program, else
// $XDG_CONFIG_HOME/vorpa/vorpa.cfg (by default ~/.config/vorpa/vorpa.cfg).
// base is the program's path; the second file replaces it, since names
// without a "/" then lie beside that file. Sets configfile ("vorpa.cfg",
// or the path of the second). False, after naming every place looked at,
// when there is none.
bool findconfigfile(Report& report, std::string& base, std::string& configfile);

// The file vorpa setup writes to when /config= names none: vorpa.cfg
// beside the program (base) where there is one, else the user's,
// $XDG_CONFIG_HOME/vorpa/vorpa.cfg, whether it is there or not. Empty
// without a home folder.
std::string setupconfigfile(const std::string& base);

// Prints, for --settings, the settings read and the newsgroups file, the
// run's own first, then account by account, each with the file and line
// it came from; passwords and their commands only as "(set)".
void showsettings(Report& report, const Settings& settings);

// Where in origins key was set; null when no line set it.
const Origin* findorigin(const std::vector<Origin>& origins, const char* key);

// path as shown to the user: "~" in place of the home folder.
std::string tildepath(const std::string& path);

void configwarn(Report& report, const char* message, long line, const char* path);
void configscantext(const std::string& value, long line, const char* path, std::string& dest);
// A directory: "/" appended unless the value ends in one.
void configscandir(const std::string& value, long line, const char* path, std::string& dest);
void configscanyesno(Report& report, const char* value, long line, const char* path, int& result);

// Directory part of base (up to and including its last "/", at most 4094
// characters) joined with name into out. Returns -1 when the path would be
// longer than 4095 characters, 0 otherwise.
int joinprogramdir(const std::string& base, const std::string& name, std::string& out);

#endif
